// The token record on the wire, beyond what test_dbus_service.py and test_kxsentrixctl.py see of
// it: text fields cut at NUL (and judged as UTF-8 only up to it), binary ids sent whole, slot ids
// at the 32-bit edge. (Messages of any other shape: the token record fuzz target.)
#include <dbus/dbus.h>
#include <gtest/gtest.h>

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
