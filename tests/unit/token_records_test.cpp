#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <memory>

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
    info.message = "";
    info.isNew = true;
    info.profiles = {{"ivan", "corp.org"}, {"petr", "other.org"}};
    info.certs = {makeCert("01", "key one", "Иван", false), makeCert("02", "root", "Root", true)};
    return info;
}

void expectSameCert(const Token::Cert& actual, const Token::Cert& expected) {
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_EQ(actual.label, expected.label);
    const Certificate& a = actual.certificate;
    const Certificate& e = expected.certificate;
    EXPECT_EQ(a.subject(), e.subject());
    EXPECT_EQ(a.subjectOrganization(), e.subjectOrganization());
    EXPECT_EQ(a.subjectDomainComponent(), e.subjectDomainComponent());
    EXPECT_EQ(a.issuer(), e.issuer());
    EXPECT_EQ(a.issuerOrganization(), e.issuerOrganization());
    EXPECT_EQ(a.issuerDomainComponent(), e.issuerDomainComponent());
    EXPECT_EQ(a.altName(), e.altName());
    EXPECT_EQ(a.fingerprint(), e.fingerprint());
    EXPECT_EQ(a.isCaCert(), e.isCaCert());
}

void expectSameToken(const Token::Info& actual, const Token::Info& expected) {
    EXPECT_EQ(actual.slotId, expected.slotId);
    EXPECT_EQ(actual.label, expected.label);
    EXPECT_EQ(actual.model, expected.model);
    EXPECT_EQ(actual.applet, expected.applet);
    EXPECT_EQ(actual.serialNumber, expected.serialNumber);
    EXPECT_EQ(actual.isd, expected.isd);
    EXPECT_EQ(actual.message, expected.message);
    EXPECT_EQ(actual.isNew, expected.isNew);
    ASSERT_EQ(actual.profiles.size(), expected.profiles.size());
    for (size_t i = 0; i < expected.profiles.size(); ++i) {
        EXPECT_EQ(actual.profiles[i].userName, expected.profiles[i].userName);
        EXPECT_EQ(actual.profiles[i].domain, expected.profiles[i].domain);
    }
    ASSERT_EQ(actual.certs.size(), expected.certs.size());
    for (size_t i = 0; i < expected.certs.size(); ++i) {
        expectSameCert(actual.certs[i], expected.certs[i]);
    }
}

}  // namespace

TEST(TokenWireTest, RecordRoundTripsThroughMessage) {
    Token::Info token = sampleToken();
    Message message = encode(token);
    EXPECT_STREQ(dbus_message_get_signature(message.get()), "(ussssssba(ss)a(ssssssssssb))");
    EXPECT_EQ(Token::Info::typeFromDbus, dbus_message_get_signature(message.get()));

    bool valid = false;
    expectSameToken(decode(message.get(), &valid), token);
    EXPECT_TRUE(valid);
}

TEST(TokenWireTest, EmptyListsAreSentAsEmptyArrays) {
    Token::Info token;
    token.label = "empty";
    Message message = encode(token);
    EXPECT_STREQ(dbus_message_get_signature(message.get()), Token::Info::typeFromDbus.c_str());

    DBusMessageIter iter, fields;
    dbus_message_iter_init(message.get(), &iter);
    dbus_message_iter_recurse(&iter, &fields);
    int arrays = 0;
    for (; dbus_message_iter_get_arg_type(&fields) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(&fields)) {
        if (dbus_message_iter_get_arg_type(&fields) == DBUS_TYPE_ARRAY) {
            EXPECT_EQ(dbus_message_iter_get_element_count(&fields), 0);
            ++arrays;
        }
    }
    EXPECT_EQ(arrays, 2);
    expectSameToken(decode(message.get()), token);
}

TEST(TokenWireTest, SlotAbove32BitsGoesOutAsLowHalf) {
    Token::Info token = sampleToken();
    token.slotId = 0x100000005ULL;
    EXPECT_EQ(decode(encode(token).get()).slotId, 5u);
    token.slotId = 0xFFFFFFFFULL;
    EXPECT_EQ(decode(encode(token).get()).slotId, 0xFFFFFFFFULL);
}

TEST(TokenWireTest, TextEndsAtFirstNul) {
    Token::Info token = sampleToken();
    token.label = std::string("padded\0\0\0\0", 10);
    token.serialNumber = std::string(
        "12\0"
        "34",
        5);
    token.profiles = {{std::string("ivan\0x", 6), "corp.org"}};
    Token::Info decoded = decode(encode(token).get());
    EXPECT_EQ(decoded.label, "padded");
    EXPECT_EQ(decoded.serialNumber, "12");
    EXPECT_EQ(decoded.profiles.at(0).userName, "ivan");
}

TEST(TokenWireTest, BytesThatAreNotUtf8GoOutAsLowerCaseHex) {
    Token::Info token = sampleToken();
    token.label = "\xd0\x9c\xd0\xb5\xd1\x82\xd0\xba\xd0\xb0";  // valid UTF-8: "Метка"
    token.model = "\xd0";                                      // cut multi-byte sequence
    token.isd = "\xed\xa0\x80";                                // UTF-16 surrogate
    token.message = "\xc0\xaf";                                // overlong "/"
    token.certs = {makeCert(std::string("\x01\xAB\x00\x80\xFF", 5), "key", "Иван", false),
                   makeCert(std::string("\x00\x12", 2), "\xff label", "Root", true)};
    Token::Info decoded = decode(encode(token).get());
    EXPECT_EQ(decoded.label, "Метка");
    EXPECT_EQ(decoded.model, "d0");
    EXPECT_EQ(decoded.isd, "eda080");
    EXPECT_EQ(decoded.message, "c0af");
    ASSERT_EQ(decoded.certs.size(), 2u);
    // A binary CKA_ID is sent whole, NUL included, once it is not text.
    EXPECT_EQ(decoded.certs[0].id, "01ab0080ff");
    EXPECT_EQ(decoded.certs[0].certificate.subject(), "Иван");
    // A CKA_ID that is valid text (here bytes below 0x80) follows the NUL rule.
    EXPECT_EQ(decoded.certs[1].id, "");
    EXPECT_EQ(decoded.certs[1].label, "ff206c6162656c");
}

TEST(TokenWireTest, StoreOfTokensIsOneArray) {
    Message message = newMessage();
    DBusMessageIter iter, array;
    dbus_message_iter_init_append(message.get(), &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, Token::Info::typeFromDbus.c_str(),
                                     &array);
    std::vector<Token::Info> tokens(3, sampleToken());
    for (size_t i = 0; i < tokens.size(); ++i) {
        tokens[i].slotId = i + 1;
        tokens[i].label = "token " + std::to_string(i + 1);
        tokens[i].sendData(&array);
    }
    dbus_message_iter_close_container(&iter, &array);
    EXPECT_EQ(std::string(dbus_message_get_signature(message.get())),
              "a" + Token::Info::typeFromDbus);

    dbus_message_iter_init(message.get(), &iter);
    dbus_message_iter_recurse(&iter, &array);
    for (const Token::Info& token : tokens) {
        bool valid = false;
        expectSameToken(Token::Info::reciveData(&array, &valid), token);
        EXPECT_TRUE(valid);
        dbus_message_iter_next(&array);
    }
    EXPECT_EQ(dbus_message_iter_get_arg_type(&array), DBUS_TYPE_INVALID);
}

TEST(TokenWireTest, MessageOfAnotherSignatureIsRejected) {
    // The same shape with the slot sent as a string instead of uint32.
    Message message = newMessage();
    DBusMessageIter iter, fields, array;
    dbus_message_iter_init_append(message.get(), &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_STRUCT, nullptr, &fields);
    const char* text = "7";
    for (int i = 0; i < 7; ++i) {
        dbus_message_iter_append_basic(&fields, DBUS_TYPE_STRING, &text);
    }
    dbus_bool_t flag = TRUE;
    dbus_message_iter_append_basic(&fields, DBUS_TYPE_BOOLEAN, &flag);
    dbus_message_iter_open_container(&fields, DBUS_TYPE_ARRAY, "(ss)", &array);
    dbus_message_iter_close_container(&fields, &array);
    dbus_message_iter_open_container(&fields, DBUS_TYPE_ARRAY, "(ssssssssssb)", &array);
    dbus_message_iter_close_container(&fields, &array);
    dbus_message_iter_close_container(&iter, &fields);

    bool valid = true;
    Token::Info decoded = decode(message.get(), &valid);
    EXPECT_FALSE(valid);
    expectSameToken(decoded, Token::Info());

    // An empty message and a lone string are rejected too.
    Message empty = newMessage();
    valid = true;
    decode(empty.get(), &valid);
    EXPECT_FALSE(valid);
    decode(encode(Token::Info()).get(), &valid);
    EXPECT_TRUE(valid);
}

TEST(TokenWireTest, ListDecodersCheckElementType) {
    Message message = newMessage();
    DBusMessageIter iter, array, fields;
    dbus_message_iter_init_append(message.get(), &iter);
    // a(si): a profile list whose domain is a number.
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "(si)", &array);
    dbus_message_iter_open_container(&array, DBUS_TYPE_STRUCT, nullptr, &fields);
    const char* user = "ivan";
    dbus_int32_t number = 5;
    dbus_message_iter_append_basic(&fields, DBUS_TYPE_STRING, &user);
    dbus_message_iter_append_basic(&fields, DBUS_TYPE_INT32, &number);
    dbus_message_iter_close_container(&array, &fields);
    dbus_message_iter_close_container(&iter, &array);
    // Then a real profile list.
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "(ss)", &array);
    Token::Profile{"petr", "corp.org"}.sendData(&array);
    dbus_message_iter_close_container(&iter, &array);

    dbus_message_iter_init(message.get(), &iter);
    bool valid = true;
    EXPECT_TRUE(Token::Profile::reciveData(&iter, &valid).empty());
    EXPECT_FALSE(valid);
    EXPECT_TRUE(Token::Cert::reciveData(&iter, &valid).empty());
    EXPECT_FALSE(valid);
    // The rejected value was not consumed; skipping it reaches the good list.
    dbus_message_iter_next(&iter);
    std::vector<Token::Profile> profiles = Token::Profile::reciveData(&iter, &valid);
    EXPECT_TRUE(valid);
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0].userName, "petr");
    EXPECT_EQ(profiles[0].domain, "corp.org");
    EXPECT_EQ(dbus_message_iter_get_arg_type(&iter), DBUS_TYPE_INVALID);
}

TEST(TokenWireTest, GettersReadOnlyTheirOwnType) {
    Message message = newMessage();
    const char* text = "label";
    dbus_uint32_t number = 42;
    dbus_bool_t flag = TRUE;
    dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_UINT32, &number,
                             DBUS_TYPE_BOOLEAN, &flag, DBUS_TYPE_INVALID);
    DBusMessageIter iter;
    dbus_message_iter_init(message.get(), &iter);

    EXPECT_EQ(Token::Info::getUInt32(&iter), 0u);
    EXPECT_FALSE(Token::Info::getBool(&iter));
    EXPECT_STREQ(Token::Info::getStr(&iter), "label");
    EXPECT_EQ(Token::Info::getStr(&iter), nullptr);
    EXPECT_EQ(Token::Info::getUInt32(&iter), 42u);
    EXPECT_TRUE(Token::Info::getBool(&iter));
    EXPECT_EQ(Token::Info::getStr(&iter), nullptr);  // past the end

    EXPECT_EQ(Token::Info::getStr(nullptr), nullptr);
    EXPECT_EQ(Token::Info::getUInt32(nullptr), 0u);
    EXPECT_FALSE(Token::Info::getBool(nullptr));
}
