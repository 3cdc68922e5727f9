#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include "Fuzz.h"

namespace fuzz {

namespace {

// Values before arrays are left empty (arrays of arrays grow as the power of their depth), and
// variants inside variants, each one more level of libdbus's nesting limit.
constexpr int kValueBudget = 2000;
constexpr int kMaxArrayLength = 4;
constexpr int kMaxVariantDepth = 4;

// What libdbus sees of a C string.
std::string upToNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

// Appends one value of the complete type at `type`, drawn from the input.
void append(FuzzedDataProvider& input, int& budget, DBusSignatureIter* type, DBusMessageIter* out,
            int variantDepth) {
    --budget;
    const int code = dbus_signature_iter_get_current_type(type);
    DBusSignatureIter inner;
    DBusMessageIter container;
    if (code == DBUS_TYPE_ARRAY) {
        dbus_signature_iter_recurse(type, &inner);
        char* signature = dbus_signature_iter_get_signature(&inner);
        dbus_message_iter_open_container(out, code, signature, &container);
        dbus_free(signature);
        int length = budget > 0 ? input.ConsumeIntegralInRange(0, kMaxArrayLength) : 0;
        for (; length > 0; --length) {
            DBusSignatureIter each = inner;
            append(input, budget, &each, &container, variantDepth);
        }
    } else if (code == DBUS_TYPE_STRUCT || code == DBUS_TYPE_DICT_ENTRY) {
        dbus_signature_iter_recurse(type, &inner);
        dbus_message_iter_open_container(out, code, nullptr, &container);
        do {
            append(input, budget, &inner, &container, variantDepth);
        } while (dbus_signature_iter_next(&inner));
    } else if (code == DBUS_TYPE_VARIANT) {
        std::string signature = upToNul(input.ConsumeRandomLengthString(32));
        if (variantDepth >= kMaxVariantDepth ||
            !dbus_signature_validate_single(signature.c_str(), nullptr)) {
            signature = "s";
        }
        dbus_message_iter_open_container(out, code, signature.c_str(), &container);
        dbus_signature_iter_init(&inner, signature.c_str());
        append(input, budget, &inner, &container, variantDepth + 1);
    } else if (dbus_type_is_fixed(code)) {
        static const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        DBusBasicValue value{};
        value.u64 = input.ConsumeIntegral<uint64_t>();
        if (code == DBUS_TYPE_BOOLEAN) {
            value.u64 &= 1;
        } else if (code == DBUS_TYPE_UNIX_FD) {
            value.fd = devNull;
        }
        dbus_message_iter_append_basic(out, code, &value);
        return;
    } else {
        // libdbus aborts on a text that is not valid for its type. No decoder reads an object
        // path or a signature, so those are fixed.
        std::string text = upToNul(input.ConsumeRandomLengthString(64));
        while (!dbus_validate_utf8(text.c_str(), nullptr)) {
            text.pop_back();
        }
        if (code != DBUS_TYPE_STRING) {
            text = code == DBUS_TYPE_OBJECT_PATH ? "/" : "";
        }
        const char* value = text.c_str();
        dbus_message_iter_append_basic(out, code, &value);
        return;
    }
    dbus_message_iter_close_container(out, &container);
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
    const int length = static_cast<int>(size);
    if (size >= DBUS_MINIMUM_HEADER_SIZE &&
        dbus_message_demarshal_bytes_needed(bytes, length) == length) {
        if (Message message{dbus_message_demarshal(bytes, length, nullptr)}) {
            return message;
        }
    }
    FuzzedDataProvider input(data, size);
    const std::string signature =
        upToNul(input.ConsumeRandomLengthString(DBUS_MAXIMUM_SIGNATURE_LENGTH));
    if (!dbus_signature_validate(signature.c_str(), nullptr)) {
        return nullptr;
    }
    Message message(
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", "test"));
    DBusMessageIter out;
    dbus_message_iter_init_append(message.get(), &out);
    int budget = kValueBudget;
    DBusSignatureIter type;
    dbus_signature_iter_init(&type, signature.c_str());
    for (bool more = !signature.empty(); more; more = dbus_signature_iter_next(&type)) {
        append(input, budget, &type, &out, 0);
    }
    return delivered(message.get());
}

}  // namespace fuzz
