// The method server's argument decoding on any call: no crash, and the handlers get exactly one
// value per top-level argument of a basic type, in order, each of the type the handlers check
// for; every other argument is left out. The echo method's text and the handlers' argument
// check run on the result as a handler would.

#include <dbus/dbus.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

#include "FuzzMessage.h"
#include "dbus/DBusServer.h"
#include "dbus/MethodArguments.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// The type a handler finds for an argument of this D-Bus type; null for one it never gets.
const std::type_info* heldType(int code) {
    switch (code) {
        case DBUS_TYPE_BYTE:
            return &typeid(int8_t);
        case DBUS_TYPE_BOOLEAN:
            return &typeid(bool);
        case DBUS_TYPE_INT16:
            return &typeid(int16_t);
        case DBUS_TYPE_UINT16:
            return &typeid(uint16_t);
        case DBUS_TYPE_INT32:
            return &typeid(int32_t);
        case DBUS_TYPE_UINT32:
            return &typeid(uint32_t);
        case DBUS_TYPE_INT64:
            return &typeid(int64_t);
        case DBUS_TYPE_UINT64:
            return &typeid(uint64_t);
        case DBUS_TYPE_DOUBLE:
            return &typeid(double);
        case DBUS_TYPE_STRING:
            return &typeid(std::string);
        default:
            return nullptr;
    }
}

std::vector<const std::type_info*> expectedTypes(DBusMessage* message) {
    std::vector<const std::type_info*> types;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) {
        return types;
    }
    do {
        if (const std::type_info* type = heldType(dbus_message_iter_get_arg_type(&iter))) {
            types.push_back(type);
        }
    } while (dbus_message_iter_next(&iter));
    return types;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Message message = fuzz::messageFrom(data, size);
    if (!message) {
        return 0;
    }
    DBusServer::Arguments args = DBusServer::inputArgs(message.get(), "test");
    const std::vector<const std::type_info*> types = expectedTypes(message.get());
    require(args.size() == types.size());
    for (size_t i = 0; i < args.size(); ++i) {
        require(args[i].type() == *types[i]);
    }

    const std::string echo = MethodArguments::describe(args);
    require(echo.rfind("Args count " + std::to_string(args.size()) + ": ", 0) == 0);
    require(dbus_validate_utf8(echo.c_str(), nullptr));  // else the reply could not carry it
    MethodArguments::accepted(MethodArguments::check<std::string, std::string>(args),
                              "Неверный тип аргумента");
    return 0;
}
