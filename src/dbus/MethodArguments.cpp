#include "dbus/MethodArguments.h"

#include <syslog.h>

#include <cstdint>

#include "log/KxLogger.h"

bool MethodArguments::accepted(Check check, const char* wrongType) {
    switch (check) {
        case Check::WrongCount:
            KxLogger::log(LOG_ERR, "Не верное количество параметров!");
            return false;
        case Check::WrongType:
            KxLogger::log(LOG_ERR, "%s", wrongType);
            return false;
        case Check::Ok:
            break;
    }
    return true;
}

std::string MethodArguments::describe(const DBusServer::Arguments& args) {
    std::string text = "Args count " + std::to_string(args.size()) + ": ";
    for (const common::any& arg : args) {
        if (auto number = common::any_cast<int32_t>(&arg)) {
            text += std::to_string(*number);
        } else if (auto word = common::any_cast<std::string>(&arg)) {
            text += *word;
        } else if (auto flag = common::any_cast<bool>(&arg)) {
            text += *flag ? "true" : "false";
        }
        text += ", ";
    }
    return text;
}
