// Token records and their D-Bus wire form. Decoding any message, as a client reads the token
// list: no crash, no value of another type read into a field; a value that is not a token record
// decodes to the default record, one that is re-encodes and decodes to the same fields.
// Encoding ('E', then any bytes in every field) as the daemon sends a token: libdbus never
// refuses (it would abort the daemon), every field arrives as UTF-8, and as it was wherever it is
// text D-Bus can carry.

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "Fuzz.h"
#include "token/Token.h"

namespace {

std::vector<std::string> texts(const Token::Info& info) {
    std::vector<std::string> all;
    all.insert(all.end(),
               {info.label, info.model, info.applet, info.serialNumber, info.isd, info.message,
                info.isNew ? "new" : "old", std::to_string(info.slotId & 0xFFFFFFFFu),
                std::to_string(info.profiles.size()), std::to_string(info.certs.size())});
    for (const Token::Profile& profile : info.profiles) {
        all.insert(all.end(), {profile.userName, profile.domain});
    }
    for (const Token::Cert& cert : info.certs) {
        const Certificate& c = cert.certificate;
        all.insert(all.end(), {cert.id, cert.label, c.subject(), c.subjectOrganization(),
                               c.subjectDomainComponent(), c.issuer(), c.issuerOrganization(),
                               c.issuerDomainComponent(), c.altName(), c.fingerprint(),
                               c.isCaCert() ? "CA" : ""});
    }
    return all;
}

// What a client reads back of a record the daemon sent.
Token::Info roundTrip(const Token::Info& info) {
    fuzz::Message sent(dbus_message_new_signal("/kx", "kx.daemon.server", "tokens"));
    DBusMessageIter iter;
    dbus_message_iter_init_append(sent.get(), &iter);
    info.sendData(&iter);
    fuzz::Message message = fuzz::delivered(sent.get());
    bool valid = false;
    REQUIRE(message && dbus_message_iter_init(message.get(), &iter));
    Token::Info back = Token::Info::reciveData(&iter, &valid);
    REQUIRE(valid);
    return back;
}

// Every value of the message, at the top and inside top-level arrays, decoded as a record.
void decodeAll(DBusMessage* message) {
    const auto checkDecoded = [](DBusMessageIter* iter) {
        bool valid = false;
        const Token::Info info = Token::Info::reciveData(iter, &valid);
        REQUIRE(texts(info) == texts(valid ? roundTrip(info) : Token::Info()));
    };
    DBusMessageIter iter;
    for (bool more = dbus_message_iter_init(message, &iter); more;
         more = dbus_message_iter_next(&iter)) {
        checkDecoded(&iter);
        if (dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY) {
            continue;
        }
        DBusMessageIter element;
        dbus_message_iter_recurse(&iter, &element);
        for (; dbus_message_iter_get_arg_type(&element) != DBUS_TYPE_INVALID;
             dbus_message_iter_next(&element)) {
            checkDecoded(&element);
        }
        DBusMessageIter copy = iter;
        Token::Profile::reciveData(&copy);
        copy = iter;
        Token::Cert::reciveData(&copy);
    }
}

void checkEncoding(FuzzedDataProvider& input) {
    const auto field = [&input] { return input.ConsumeRandomLengthString(48); };
    Token::Info info;
    info.slotId = input.ConsumeIntegral<uint64_t>();
    for (std::string* text :
         {&info.label, &info.model, &info.applet, &info.serialNumber, &info.isd, &info.message}) {
        *text = field();
    }
    info.isNew = input.ConsumeBool();
    for (int i = input.ConsumeIntegralInRange(0, 3); i > 0; --i) {
        info.profiles.push_back({field(), field()});
    }
    for (int i = input.ConsumeIntegralInRange(0, 3); i > 0; --i) {
        std::string f[10];
        for (std::string& text : f) {
            text = field();
        }
        info.certs.push_back(
            {f[0], f[1],
             Certificate(f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], input.ConsumeBool())});
    }
    const std::vector<std::string> sent = texts(info);
    const std::vector<std::string> read = texts(roundTrip(info));
    REQUIRE(read.size() == sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        REQUIRE(dbus_validate_utf8(read[i].c_str(), nullptr));
        // A client reads text up to its first NUL, so only text without one comes back whole.
        const bool carried =
            sent[i].find('\0') == std::string::npos && dbus_validate_utf8(sent[i].c_str(), nullptr);
        REQUIRE(!carried || read[i] == sent[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && data[0] == 'E') {
        FuzzedDataProvider input(data + 1, size - 1);
        checkEncoding(input);
    } else if (fuzz::Message message = fuzz::messageFrom(data, size)) {
        decodeAll(message.get());
    }
    return 0;
}
