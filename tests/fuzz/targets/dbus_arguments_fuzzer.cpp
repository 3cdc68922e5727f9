// The method server's argument decoding on any call: no crash, and the handlers get one value
// per top-level argument of a basic type, in order, of the type they check for; every other
// argument is left out. The echo method's text and the handlers' argument check run on it.

#include <map>
#include <typeinfo>

#include "Fuzz.h"
#include "dbus/DBusServer.h"
#include "dbus/MethodArguments.h"

namespace {

// The type a handler finds for each D-Bus type it gets; other arguments are left out.
const std::map<int, const std::type_info*> kHeldTypes = {
    {DBUS_TYPE_BYTE, &typeid(int8_t)},   {DBUS_TYPE_BOOLEAN, &typeid(bool)},
    {DBUS_TYPE_INT16, &typeid(int16_t)}, {DBUS_TYPE_UINT16, &typeid(uint16_t)},
    {DBUS_TYPE_INT32, &typeid(int32_t)}, {DBUS_TYPE_UINT32, &typeid(uint32_t)},
    {DBUS_TYPE_INT64, &typeid(int64_t)}, {DBUS_TYPE_UINT64, &typeid(uint64_t)},
    {DBUS_TYPE_DOUBLE, &typeid(double)}, {DBUS_TYPE_STRING, &typeid(std::string)}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Message message = fuzz::messageFrom(data, size);
    if (!message) {
        return 0;
    }
    const DBusServer::Arguments args = DBusServer::inputArgs(message.get(), "test");
    size_t handed = 0;
    DBusMessageIter iter;
    for (bool more = dbus_message_iter_init(message.get(), &iter); more;
         more = dbus_message_iter_next(&iter)) {
        auto held = kHeldTypes.find(dbus_message_iter_get_arg_type(&iter));
        if (held != kHeldTypes.end()) {
            REQUIRE(handed < args.size() && args[handed++].type() == *held->second);
        }
    }
    REQUIRE(handed == args.size());

    const std::string echo = MethodArguments::describe(args);
    REQUIRE(echo.rfind("Args count " + std::to_string(args.size()) + ": ", 0) == 0);
    REQUIRE(dbus_validate_utf8(echo.c_str(), nullptr));  // else the reply could not carry it
    MethodArguments::accepted(MethodArguments::check<std::string, std::string>(args),
                              "Неверный тип аргумента");
    return 0;
}
