#include "FuzzMessage.h"

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace fuzz {

namespace {

// Values to append before arrays are left empty: arrays of arrays would otherwise grow as the
// power of their depth.
constexpr int kValueBudget = 2000;
constexpr int kMaxArrayLength = 4;
// Variants inside variants: each is one more level of libdbus's nesting limit.
constexpr int kMaxVariantDepth = 4;

// The bytes before the first NUL: what libdbus sees of a C string.
std::string upToNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

class Builder {
public:
    explicit Builder(FuzzedDataProvider& input) : input_(input) {}

    // Appends one value of the complete type at `type`.
    void append(DBusSignatureIter* type, DBusMessageIter* out, int variantDepth) {
        --budget_;
        const int code = dbus_signature_iter_get_current_type(type);
        switch (code) {
            case DBUS_TYPE_ARRAY:
                appendArray(type, out, variantDepth);
                break;
            case DBUS_TYPE_STRUCT:
            case DBUS_TYPE_DICT_ENTRY:
                appendFields(code, type, out, variantDepth);
                break;
            case DBUS_TYPE_VARIANT:
                appendVariant(out, variantDepth);
                break;
            default:
                appendBasic(code, out);
        }
    }

private:
    void appendArray(DBusSignatureIter* type, DBusMessageIter* out, int variantDepth) {
        DBusSignatureIter element;
        dbus_signature_iter_recurse(type, &element);
        char* signature = dbus_signature_iter_get_signature(&element);
        DBusMessageIter array;
        dbus_message_iter_open_container(out, DBUS_TYPE_ARRAY, signature, &array);
        dbus_free(signature);
        const int length = budget_ > 0 ? input_.ConsumeIntegralInRange<int>(0, kMaxArrayLength) : 0;
        for (int i = 0; i < length; ++i) {
            DBusSignatureIter each = element;
            append(&each, &array, variantDepth);
        }
        dbus_message_iter_close_container(out, &array);
    }

    void appendFields(int code, DBusSignatureIter* type, DBusMessageIter* out, int variantDepth) {
        DBusSignatureIter field;
        dbus_signature_iter_recurse(type, &field);
        DBusMessageIter fields;
        dbus_message_iter_open_container(out, code, nullptr, &fields);
        do {
            append(&field, &fields, variantDepth);
        } while (dbus_signature_iter_next(&field));
        dbus_message_iter_close_container(out, &fields);
    }

    void appendVariant(DBusMessageIter* out, int variantDepth) {
        std::string signature = upToNul(input_.ConsumeRandomLengthString(32));
        if (variantDepth >= kMaxVariantDepth ||
            !dbus_signature_validate_single(signature.c_str(), nullptr)) {
            signature = "s";
        }
        DBusMessageIter variant;
        dbus_message_iter_open_container(out, DBUS_TYPE_VARIANT, signature.c_str(), &variant);
        DBusSignatureIter type;
        dbus_signature_iter_init(&type, signature.c_str());
        append(&type, &variant, variantDepth + 1);
        dbus_message_iter_close_container(out, &variant);
    }

    template <typename T>
    void appendNumber(int code, DBusMessageIter* out) {
        T value = input_.ConsumeIntegral<T>();
        dbus_message_iter_append_basic(out, code, &value);
    }

    void appendBasic(int code, DBusMessageIter* out) {
        switch (code) {
            case DBUS_TYPE_BYTE:
                return appendNumber<uint8_t>(code, out);
            case DBUS_TYPE_INT16:
                return appendNumber<dbus_int16_t>(code, out);
            case DBUS_TYPE_UINT16:
                return appendNumber<dbus_uint16_t>(code, out);
            case DBUS_TYPE_INT32:
                return appendNumber<dbus_int32_t>(code, out);
            case DBUS_TYPE_UINT32:
                return appendNumber<dbus_uint32_t>(code, out);
            case DBUS_TYPE_INT64:
                return appendNumber<dbus_int64_t>(code, out);
            case DBUS_TYPE_UINT64:
                return appendNumber<dbus_uint64_t>(code, out);
            case DBUS_TYPE_BOOLEAN: {
                dbus_bool_t value = input_.ConsumeBool() ? TRUE : FALSE;
                dbus_message_iter_append_basic(out, code, &value);
                return;
            }
            case DBUS_TYPE_DOUBLE: {
                double value = input_.ConsumeFloatingPoint<double>();
                dbus_message_iter_append_basic(out, code, &value);
                return;
            }
            case DBUS_TYPE_UNIX_FD: {
                static const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
                dbus_message_iter_append_basic(out, code, &fd);
                return;
            }
            default:
                appendText(code, out);
        }
    }

    // libdbus aborts on a text that is not valid for its type, so each is made valid.
    void appendText(int code, DBusMessageIter* out) {
        std::string text = upToNul(input_.ConsumeRandomLengthString(64));
        if (code == DBUS_TYPE_OBJECT_PATH) {
            text = validPath(text);
        } else if (code == DBUS_TYPE_SIGNATURE) {
            if (!dbus_signature_validate(text.c_str(), nullptr)) {
                text.clear();
            }
        } else {
            text = validUtf8(text);
        }
        const char* value = text.c_str();
        dbus_message_iter_append_basic(out, code, &value);
    }

    static std::string validUtf8(std::string text) {
        while (!dbus_validate_utf8(text.c_str(), nullptr)) {
            text.pop_back();
        }
        return text;
    }

    static std::string validPath(const std::string& text) {
        std::string path = "/";
        for (char c : text) {
            bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_';
            if (word) {
                path += c;
            } else if (path.back() != '/') {
                path += '/';
            }
        }
        if (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }

    FuzzedDataProvider& input_;
    int budget_ = kValueBudget;
};

Message methodCall() {
    return Message(
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", "test"));
}

}  // namespace

Message delivered(DBusMessage* message) {
    dbus_message_set_serial(message, 1);  // as a connection numbers what it sends
    char* bytes = nullptr;
    int length = 0;
    if (!dbus_message_marshal(message, &bytes, &length)) {
        return nullptr;
    }
    Message read(dbus_message_demarshal(bytes, length, nullptr));
    dbus_free(bytes);
    return read;
}

Message messageFrom(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    if (size >= DBUS_MINIMUM_HEADER_SIZE &&
        dbus_message_demarshal_bytes_needed(bytes, static_cast<int>(size)) ==
            static_cast<int>(size)) {
        DBusError error;
        dbus_error_init(&error);
        Message message(dbus_message_demarshal(bytes, static_cast<int>(size), &error));
        dbus_error_free(&error);
        if (message) {
            return message;
        }
    }

    FuzzedDataProvider input(data, size);
    const std::string signature =
        upToNul(input.ConsumeRandomLengthString(DBUS_MAXIMUM_SIGNATURE_LENGTH));
    if (!dbus_signature_validate(signature.c_str(), nullptr)) {
        return nullptr;
    }
    Message message = methodCall();
    DBusMessageIter out;
    dbus_message_iter_init_append(message.get(), &out);
    Builder builder(input);
    DBusSignatureIter type;
    dbus_signature_iter_init(&type, signature.c_str());
    if (!signature.empty()) {
        do {
            builder.append(&type, &out, 0);
        } while (dbus_signature_iter_next(&type));
    }
    return delivered(message.get());
}

}  // namespace fuzz
