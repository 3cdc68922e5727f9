// Token records and their D-Bus wire form, both ways.
//
// Decoding, as a client reads the token list, from any message: no crash and no value of another
// type read into a field; a value that is not a token record decodes to the default record; a
// record that decoded re-encodes and decodes to the same fields.
//
// Encoding, as the daemon sends what a token holds, from any bytes in any field: libdbus never
// refuses (it would abort the daemon), and the record decodes to the same fields wherever a
// field is text D-Bus can carry.

#include <dbus/dbus.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzMessage.h"
#include "token/Token.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

std::vector<std::string> texts(const Token::Info& info) {
    std::vector<std::string> all = {std::to_string(info.slotId & 0xFFFFFFFFu),
                                    info.label,
                                    info.model,
                                    info.applet,
                                    info.serialNumber,
                                    info.isd,
                                    info.message,
                                    info.isNew ? "new" : "old",
                                    std::to_string(info.profiles.size()),
                                    std::to_string(info.certs.size())};
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

fuzz::Message encoded(const Token::Info& info) {
    fuzz::Message message(dbus_message_new_signal("/kx", "kx.daemon.server", "tokens"));
    DBusMessageIter out;
    dbus_message_iter_init_append(message.get(), &out);
    info.sendData(&out);
    return fuzz::delivered(message.get());
}

Token::Info decoded(DBusMessage* message, bool* valid) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) {
        *valid = false;
        return Token::Info();
    }
    return Token::Info::reciveData(&iter, valid);
}

// What a client reads back of a record the daemon sent.
Token::Info roundTrip(const Token::Info& info) {
    fuzz::Message message = encoded(info);
    require(message != nullptr);
    bool valid = false;
    Token::Info back = decoded(message.get(), &valid);
    require(valid);
    return back;
}

void checkDecoded(const Token::Info& info, bool valid) {
    if (!valid) {
        require(texts(info) == texts(Token::Info()));
        return;
    }
    require(texts(roundTrip(info)) == texts(info));
}

// Decodes every value of the message, at the top and inside top-level arrays, as a record.
void decodeAll(DBusMessage* message) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) {
        return;
    }
    do {
        bool valid = false;
        checkDecoded(Token::Info::reciveData(&iter, &valid), valid);
        if (dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_ARRAY) {
            DBusMessageIter element;
            dbus_message_iter_recurse(&iter, &element);
            while (dbus_message_iter_get_arg_type(&element) != DBUS_TYPE_INVALID) {
                checkDecoded(Token::Info::reciveData(&element, &valid), valid);
                dbus_message_iter_next(&element);
            }
            DBusMessageIter copy = iter;
            Token::Profile::reciveData(&copy);
            copy = iter;
            Token::Cert::reciveData(&copy);
        }
    } while (dbus_message_iter_next(&iter));
}

// A field as a client reads it: text up to its first NUL when the field is UTF-8 throughout.
bool carriedAsIs(const std::string& field) {
    return field.find('\0') == std::string::npos && dbus_validate_utf8(field.c_str(), nullptr);
}

Token::Info recordFrom(FuzzedDataProvider& input) {
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
    return info;
}

void checkEncoding(FuzzedDataProvider& input) {
    const Token::Info info = recordFrom(input);
    const std::vector<std::string> sent = texts(info);
    const std::vector<std::string> read = texts(roundTrip(info));
    require(read.size() == sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        require(dbus_validate_utf8(read[i].c_str(), nullptr));
        if (carriedAsIs(sent[i])) {
            require(read[i] == sent[i]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && data[0] == 'E') {
        FuzzedDataProvider input(data + 1, size - 1);
        checkEncoding(input);
        return 0;
    }
    fuzz::Message message = fuzz::messageFrom(data, size);
    if (message) {
        decodeAll(message.get());
    }
    return 0;
}
