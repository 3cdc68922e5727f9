#pragma once

#include <string>
#include <typeinfo>

#include "dbus/DBusServer.h"

// Checks and texts of method call arguments, shared by the handlers.
namespace MethodArguments {

enum class Check { Ok, WrongCount, WrongType };

// Whether the call carried exactly one argument of each of these types, in this order.
template <typename... Expected>
Check check(const DBusServer::Arguments& args) {
    if (args.size() != sizeof...(Expected)) {
        return Check::WrongCount;
    }
    size_t index = 0;
    bool typesMatch = ((args[index++].type() == typeid(Expected)) && ...);
    return typesMatch ? Check::Ok : Check::WrongType;
}

// Whether the check passed; logs why not otherwise: the count message, or `wrongType`, the
// method's own message for an argument of another type.
bool accepted(Check check, const char* wrongType);

// The echo method's answer: "Args count N: " and the text of each argument followed by ", ".
// Only int32, string and bool arguments have a text; any other adds just the separator.
std::string describe(const DBusServer::Arguments& args);

}  // namespace MethodArguments
