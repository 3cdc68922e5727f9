#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "TestCertificate.h"
#include "token/Token.h"

namespace {

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A message that needs no bus, as a reply or a signal is built by the daemon.
Message newMessage() {
    return Message(dbus_message_new_signal("/kx/test", "kx.daemon.server", "tokens"));
}

Message encode(const Token::Info& info) {
    Message message = newMessage();
    DBusMessageIter iter;
    dbus_message_iter_init_append(message.get(), &iter);
    info.sendData(&iter);
    return message;
}

// Decodes the first argument of message as a token record.
Token::Info decode(DBusMessage* message, bool* valid = nullptr) {
    DBusMessageIter iter;
    dbus_message_iter_init(message, &iter);
    return Token::Info::reciveData(&iter, valid);
}

Token::Cert makeCert(const std::string& id, const std::string& label, const std::string& subject,
                     bool isCa) {
    return Token::Cert{
        id, label,
        Certificate(subject, "Org", "corp.org", "Issuing CA", "CA Org", "ca.org", "user@CORP.ORG",
                    "0123456789ABCDEF0123456789ABCDEF01234567", isCa)};
}

Token::Info sampleToken() {
    Token::Info info;
    info.slotId = 7;
    info.label = "Рабочий токен";
    info.model = "Korvex Quill 3 (USB)";
    info.applet = Token::Quill;
    info.serialNumber = "0123456789";
    info.isd = "KX101";
    info.message = "Метка";
    info.isNew = true;
    info.profiles = {{"ivan", "corp.org"}, {"petr", "other.org"}};
    info.certs = {makeCert("01", "key one", "Иван", false), makeCert("02", "root", "Root", true)};
    return info;
}

// Every field of a record in one text, so a comparison shows them all.
std::string describe(const Token::Info& token) {
    std::ostringstream out;
    out << token.slotId << '|' << token.label << '|' << token.model << '|' << token.applet << '|'
        << token.serialNumber << '|' << token.isd << '|' << token.message << '|' << token.isNew;
    for (const Token::Profile& profile : token.profiles) {
        out << "\nprofile " << profile.userName << '|' << profile.domain;
    }
    for (const Token::Cert& cert : token.certs) {
        out << "\ncert " << cert.id << '|' << cert.label << '|'
            << testcert::fields(cert.certificate);
    }
    return out.str();
}

}  // namespace

TEST(TokenWireTest, RecordsRoundTripInOneArrayEmptyListsIncluded) {
    Token::Info empty;
    empty.slotId = 2;
    const std::vector<Token::Info> tokens = {sampleToken(), empty};
    Message message = newMessage();
    DBusMessageIter iter, array;
    dbus_message_iter_init_append(message.get(), &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, Token::Info::typeFromDbus.c_str(),
                                     &array);
    for (const Token::Info& token : tokens) {
        token.sendData(&array);
    }
    dbus_message_iter_close_container(&iter, &array);
    EXPECT_STREQ(dbus_message_get_signature(message.get()), "a(ussssssba(ss)a(ssssssssssb))");

    dbus_message_iter_init(message.get(), &iter);
    dbus_message_iter_recurse(&iter, &array);
    for (const Token::Info& token : tokens) {
        bool valid = false;
        EXPECT_EQ(describe(Token::Info::reciveData(&array, &valid)), describe(token));
        EXPECT_TRUE(valid);
        dbus_message_iter_next(&array);
    }
    EXPECT_EQ(dbus_message_iter_get_arg_type(&array), DBUS_TYPE_INVALID);
}

TEST(TokenWireTest, SlotGoesOutAsLowHalfTextsUpToNulAndNonUtf8AsLowerCaseHex) {
    Token::Info token = sampleToken();
    token.slotId = 0x100000005ULL;
    token.label = std::string("padded\0\0\0\0", 10);
    token.serialNumber = "\xd0\x9c\xd0\xb5\xd1\x82\xd0\xba\xd0\xb0";  // valid UTF-8: "Метка"
    token.model = "\xd0";                                             // cut multi-byte sequence
    token.profiles = {{std::string("ivan\0x", 6), "corp.org"}};
    token.certs = {makeCert(std::string("\x01\xAB\x00\x80\xFF", 5), "key", "Иван", false),
                   makeCert(std::string("\x00\x12", 2), "\xff label", "Root", true)};
    Token::Info decoded = decode(encode(token).get());
    EXPECT_EQ(decoded.slotId, 5u);
    token.slotId = 0xFFFFFFFFULL;
    EXPECT_EQ(decode(encode(token).get()).slotId, 0xFFFFFFFFULL);
    EXPECT_EQ(decoded.label, "padded");
    EXPECT_EQ(decoded.serialNumber, "Метка");
    EXPECT_EQ(decoded.model, "d0");
    EXPECT_EQ(decoded.profiles.at(0).userName, "ivan");
    ASSERT_EQ(decoded.certs.size(), 2u);
    // A binary CKA_ID is sent whole, NUL included, once it is not text.
    EXPECT_EQ(decoded.certs[0].id, "01ab0080ff");
    // A CKA_ID that is valid text (here bytes below 0x80) follows the NUL rule.
    EXPECT_EQ(decoded.certs[1].id, "");
    EXPECT_EQ(decoded.certs[1].label, "ff206c6162656c");
}

TEST(TokenWireTest, MessageOfAnotherSignatureIsRejected) {
    Message message = newMessage(), empty = newMessage();
    const char* text = "7";
    dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    for (DBusMessage* other : {message.get(), empty.get()}) {
        bool valid = true;
        EXPECT_EQ(describe(decode(other, &valid)), describe(Token::Info()));
        EXPECT_FALSE(valid);
    }
}
