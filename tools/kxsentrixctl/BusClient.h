#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ExitStatus.h"
#include "dbus/BusContract.h"

// Calls a method of kxsentrixd on the system bus with string arguments and tells what came of
// it: the daemon's answer, or why there is none in words for the administrator.
class BusClient {
public:
    static constexpr const char* kName = BusContract::kName;

    explicit BusClient(int timeoutMs) : timeoutMs_(timeoutMs) {}

    struct Reply {
        // kDone when the daemon answered; otherwise why it did not, and `problem` says it.
        ExitStatus status = kUnreachable;
        std::string problem;
        std::shared_ptr<DBusMessage> message;

        // The answer's signature ("" for an answer without a value).
        std::string signature() const;
        // The single value of that type, or nothing when the answer holds something else.
        std::optional<int32_t> int32() const;
        std::optional<int64_t> int64() const;
        std::optional<std::string> string() const;
    };

    Reply call(const std::string& method, const std::vector<std::string>& arguments = {}) const;

private:
    int timeoutMs_;
};
