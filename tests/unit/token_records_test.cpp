// The token record on the wire, beyond what test_dbus_service.py and test_kxsentrixctl.py see of
// it: text fields cut at NUL (and judged as UTF-8 only up to it), binary ids sent whole, slot ids
// at the 32-bit edge. (Messages of any other shape: the token record fuzz target.) And when a
// token read again is another token.
#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <functional>

#include "daemon/TokenIdentity.h"
#include "token/Token.h"

namespace {

// Sends the record in a message that needs no bus and decodes it again.
Token::Info sentAndDecoded(const Token::Info& info) {
    DBusMessage* message = dbus_message_new_signal("/kx/test", "kx.daemon.server", "tokens");
    DBusMessageIter iter;
    dbus_message_iter_init_append(message, &iter);
    info.sendData(&iter);
    dbus_message_iter_init(message, &iter);
    bool valid = false;
    Token::Info decoded = Token::Info::reciveData(&iter, &valid);
    EXPECT_TRUE(valid);
    dbus_message_unref(message);
    return decoded;
}

}  // namespace

TEST(TokenWireTest, TextsUpToNulBinaryIdsWholeAndSlotsAsTheirLowHalf) {
    Token::Info token;
    token.slotId = 0xFFFFFFFFULL;
    token.label = std::string("padded\0\xff\0", 9);  // what follows the NUL is never sent
    token.model = "\xd0";                            // a cut multi-byte sequence
    token.profiles = {{std::string("ivan\0x", 6), "corp.org"}};
    Certificate certificate("Иван", "", "", "CA", "", "", "", "AB01", false);
    token.certs = {{std::string("\x01\xAB\x00\x80\xFF", 5), "key", certificate},
                   {std::string("\x00\x12", 2), "\xff label", certificate}};
    Token::Info decoded = sentAndDecoded(token);
    EXPECT_EQ(decoded.slotId, 0xFFFFFFFFULL);
    EXPECT_EQ(decoded.label, "padded");
    EXPECT_EQ(decoded.model, "d0");
    EXPECT_EQ(decoded.profiles.at(0).userName, "ivan");
    ASSERT_EQ(decoded.certs.size(), 2u);
    // A binary CKA_ID is sent whole, NUL included, once it is not text.
    EXPECT_EQ(decoded.certs[0].id, "01ab0080ff");
    EXPECT_EQ(decoded.certs[0].certificate.subject(), "Иван");
    // A CKA_ID that is valid text (here bytes below 0x80) follows the NUL rule.
    EXPECT_EQ(decoded.certs[1].id, "");
    EXPECT_EQ(decoded.certs[1].label, "ff206c6162656c");
    token.slotId = 0x100000005ULL;
    EXPECT_EQ(sentAndDecoded(token).slotId, 5u);
}

// A present token against the stored record: which differences make it another token, at a
// glance (header) and by a full read.
TEST(TokenIdentityTest, AnotherTokenDiffersInHeaderProfilesOrCertificates) {
    const auto certificate = [](const char* fingerprint) {
        return Token::Cert{"01", "key",
                           Certificate("Иван", "", "", "", "", "", "", fingerprint, false)};
    };
    Token::Info stored;
    stored.label = "Ivanov";
    stored.serialNumber = "0042";
    stored.applet = Token::Quill;
    stored.isd = "KX106";
    stored.profiles = {{"ivanov", "corp"}, {"ivanov", "ws1"}};
    stored.certs = {certificate("AA"), certificate("BB")};
    const struct {
        const char* name;
        std::function<void(Token::Info&)> change;
        bool sameHeader;
        bool same;
    } cases[] = {
        {"read again", [](Token::Info&) {}, true, true},
        {"lists in another order, new again, other labels and ids",
         [&](Token::Info& t) {
             std::swap(t.profiles[0], t.profiles[1]);
             t.certs = {certificate("BB"), certificate("AA")};
             t.certs[0].id = "02";
             t.isNew = true;
         },
         true, true},
        {"serial", [](Token::Info& t) { t.serialNumber = "0043"; }, false, false},
        {"label", [](Token::Info& t) { t.label = "Petrov"; }, false, false},
        {"applet", [](Token::Info& t) { t.applet = Token::Forte; }, false, false},
        {"model code", [](Token::Info& t) { t.isd = "KX107"; }, false, false},
        {"a profile", [](Token::Info& t) { t.profiles[1].domain = "corp"; }, true, false},
        {"a certificate more", [&](Token::Info& t) { t.certs.push_back(certificate("CC")); }, true,
         false},
        {"a certificate other", [&](Token::Info& t) { t.certs[1] = certificate("CC"); }, true,
         false},
    };
    for (const auto& c : cases) {
        Token::Info present = stored;
        c.change(present);
        EXPECT_EQ(TokenIdentity::sameHeader(stored, present), c.sameHeader) << c.name;
        EXPECT_EQ(TokenIdentity::same(stored, present), c.same) << c.name;
    }
}
