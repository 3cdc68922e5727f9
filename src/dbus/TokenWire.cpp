// The D-Bus wire form of the token records. Every token list that leaves the daemon uses it,
// and client programs decode with the same code.

#include <dbus/dbus.h>

#include <memory>

#include "token/Token.h"

namespace {

// D-Bus only carries valid UTF-8 without NUL, and libdbus aborts the process when asked to
// append anything else. Token fields are raw bytes (CKA_ID is usually binary), so: a field goes
// out as its text up to the first NUL when that text is valid UTF-8 (what follows the NUL is
// never sent, so it is not looked at); otherwise as the lower-case hex of all its bytes, so no
// byte sequence on a token can bring the daemon down.
std::string wireText(const std::string& field) {
    std::string text = field.substr(0, field.find('\0'));
    if (dbus_validate_utf8(text.c_str(), nullptr)) {
        return text;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(field.size() * 2);
    for (unsigned char byte : field) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

void appendString(DBusMessageIter* iter, const std::string& field) {
    // Almost every field is UTF-8 without NUL: it goes out as it is, without a copy (a token
    // list reply carries thousands of them).
    if (field.find('\0') == std::string::npos && dbus_validate_utf8(field.c_str(), nullptr)) {
        const char* data = field.c_str();
        dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &data);
        return;
    }
    std::string text = wireText(field);
    const char* data = text.c_str();
    dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &data);
}

void appendBool(DBusMessageIter* iter, bool flag) {
    dbus_bool_t value = flag ? TRUE : FALSE;
    dbus_message_iter_append_basic(iter, DBUS_TYPE_BOOLEAN, &value);
}

std::string readString(DBusMessageIter* iter) {
    const char* text = Token::Info::getStr(iter);
    return text != nullptr ? text : "";
}

struct DbusFree {
    void operator()(char* text) const { dbus_free(text); }
};

// Whether the value at iter has exactly this D-Bus signature.
bool hasSignature(DBusMessageIter* iter, const std::string& signature) {
    if (iter == nullptr || dbus_message_iter_get_arg_type(iter) == DBUS_TYPE_INVALID) {
        return false;
    }
    std::unique_ptr<char, DbusFree> actual(dbus_message_iter_get_signature(iter));
    return actual && signature == actual.get();
}

void setValid(bool* valid, bool value) {
    if (valid != nullptr) {
        *valid = value;
    }
}

// Reads an array of structs at iter with read(structIter) for each element.
template <typename Record, typename ReadOne>
std::vector<Record> readArray(DBusMessageIter* iter, const std::string& elementSignature,
                              bool* valid, ReadOne read) {
    std::vector<Record> records;
    if (!hasSignature(iter, "a" + elementSignature)) {
        setValid(valid, false);
        return records;
    }
    records.reserve(static_cast<size_t>(dbus_message_iter_get_element_count(iter)));
    DBusMessageIter array;
    dbus_message_iter_recurse(iter, &array);
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT) {
        DBusMessageIter fields;
        dbus_message_iter_recurse(&array, &fields);
        records.push_back(read(&fields));
        dbus_message_iter_next(&array);
    }
    dbus_message_iter_next(iter);
    setValid(valid, true);
    return records;
}

}  // namespace

const std::string Token::Profile::typeFromDbus = "(ss)";
const std::string Token::Cert::typeFromDbus = "(ssssssssssb)";
const std::string Token::Info::typeFromDbus =
    "(ussssssba" + Token::Profile::typeFromDbus + "a" + Token::Cert::typeFromDbus + ")";

void Token::Profile::sendData(DBusMessageIter* iter) const {
    DBusMessageIter fields;
    dbus_message_iter_open_container(iter, DBUS_TYPE_STRUCT, nullptr, &fields);
    appendString(&fields, userName);
    appendString(&fields, domain);
    dbus_message_iter_close_container(iter, &fields);
}

void Token::Cert::sendData(DBusMessageIter* iter) const {
    DBusMessageIter fields;
    dbus_message_iter_open_container(iter, DBUS_TYPE_STRUCT, nullptr, &fields);
    for (const std::string* text :
         {&id, &label, &certificate.subject(), &certificate.subjectOrganization(),
          &certificate.subjectDomainComponent(), &certificate.issuer(),
          &certificate.issuerOrganization(), &certificate.issuerDomainComponent(),
          &certificate.altName(), &certificate.fingerprint()}) {
        appendString(&fields, *text);
    }
    appendBool(&fields, certificate.isCaCert());
    dbus_message_iter_close_container(iter, &fields);
}

void Token::Info::sendData(DBusMessageIter* iter) const {
    DBusMessageIter fields;
    dbus_message_iter_open_container(iter, DBUS_TYPE_STRUCT, nullptr, &fields);
    dbus_uint32_t slot = static_cast<dbus_uint32_t>(slotId);
    dbus_message_iter_append_basic(&fields, DBUS_TYPE_UINT32, &slot);
    for (const std::string* text : {&label, &model, &applet, &serialNumber, &isd, &message}) {
        appendString(&fields, *text);
    }
    appendBool(&fields, isNew);

    DBusMessageIter array;
    dbus_message_iter_open_container(&fields, DBUS_TYPE_ARRAY, Profile::typeFromDbus.c_str(),
                                     &array);
    for (const Profile& profile : profiles) {
        profile.sendData(&array);
    }
    dbus_message_iter_close_container(&fields, &array);

    dbus_message_iter_open_container(&fields, DBUS_TYPE_ARRAY, Cert::typeFromDbus.c_str(), &array);
    for (const Cert& cert : certs) {
        cert.sendData(&array);
    }
    dbus_message_iter_close_container(&fields, &array);
    dbus_message_iter_close_container(iter, &fields);
}

const char* Token::Info::getStr(DBusMessageIter* iter) {
    if (iter == nullptr || dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_STRING) {
        return nullptr;
    }
    const char* text = nullptr;
    dbus_message_iter_get_basic(iter, &text);
    dbus_message_iter_next(iter);
    return text;
}

uint32_t Token::Info::getUInt32(DBusMessageIter* iter) {
    if (iter == nullptr || dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_UINT32) {
        return 0;
    }
    dbus_uint32_t value = 0;
    dbus_message_iter_get_basic(iter, &value);
    dbus_message_iter_next(iter);
    return value;
}

bool Token::Info::getBool(DBusMessageIter* iter) {
    if (iter == nullptr || dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_BOOLEAN) {
        return false;
    }
    dbus_bool_t value = FALSE;
    dbus_message_iter_get_basic(iter, &value);
    dbus_message_iter_next(iter);
    return value != FALSE;
}

std::vector<Token::Profile> Token::Profile::reciveData(DBusMessageIter* iter, bool* valid) {
    return readArray<Profile>(iter, typeFromDbus, valid, [](DBusMessageIter* fields) {
        Profile profile;
        profile.userName = readString(fields);
        profile.domain = readString(fields);
        return profile;
    });
}

std::vector<Token::Cert> Token::Cert::reciveData(DBusMessageIter* iter, bool* valid) {
    return readArray<Cert>(iter, typeFromDbus, valid, [](DBusMessageIter* fields) {
        Cert cert;
        cert.id = readString(fields);
        cert.label = readString(fields);
        std::string texts[8];
        for (std::string& text : texts) {
            text = readString(fields);
        }
        bool isCa = Info::getBool(fields);
        cert.certificate = Certificate(texts[0], texts[1], texts[2], texts[3], texts[4], texts[5],
                                       texts[6], texts[7], isCa);
        return cert;
    });
}

void Token::Info::sendList(DBusMessageIter* iter, const std::map<CK_SLOT_ID, Info>& tokens) {
    DBusMessageIter array;
    dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, typeFromDbus.c_str(), &array);
    for (const auto& stored : tokens) {
        stored.second.sendData(&array);
    }
    dbus_message_iter_close_container(iter, &array);
}

Token::Info Token::Info::reciveData(DBusMessageIter* iter, bool* valid) {
    Info info;
    // The whole signature is checked first, so no field is ever read from a value of
    // another type.
    if (!hasSignature(iter, typeFromDbus)) {
        setValid(valid, false);
        return info;
    }
    DBusMessageIter fields;
    dbus_message_iter_recurse(iter, &fields);
    info.slotId = getUInt32(&fields);
    for (std::string* text :
         {&info.label, &info.model, &info.applet, &info.serialNumber, &info.isd, &info.message}) {
        *text = readString(&fields);
    }
    info.isNew = getBool(&fields);
    info.profiles = Profile::reciveData(&fields);
    info.certs = Cert::reciveData(&fields);
    setValid(valid, true);
    return info;
}
