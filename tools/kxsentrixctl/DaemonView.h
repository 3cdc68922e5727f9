#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The daemon's status and its explanation of a token removal (JSON answers of daemonStatus and
// explainTokenRemoval, docs/dbus-api.md) as the administrator reads them. Every text from the
// daemon is escaped for the terminal; a field the answer lacks shows as empty.
namespace DaemonView {

// One line per part: version and uptime, token library, tokens, configuration and its effect,
// bus name, last slot event, last removal, log records lost, and the service status line.
std::string status(const nlohmann::ordered_json& status);

// The settings in force (or plainly none), the logon type with its PAM module and file, and what
// a removal does with them: from daemonStatus's configuration, authType, authFile and authRead.
std::string effect(const nlohmann::ordered_json& status);
// What a removal does, from daemonStatus's configuration member and the logon members.
std::string onRemoval(const nlohmann::ordered_json& configuration,
                      const nlohmann::ordered_json& logon);

// Per token: what is configured, what the removal would do, and a table of the sessions and one
// of the remote-desktop clients with each verdict and its reason. `logon` (a daemonStatus answer,
// or null) tells why the logon type is not configured.
std::string explanation(const nlohmann::ordered_json& explanation,
                        const nlohmann::ordered_json& logon);

// What check-config found: the file and its state, then effect() of the status it makes.
std::string configurationCheck(const std::string& path, const std::string& state,
                               const nlohmann::ordered_json& status);

// Seconds since the epoch as the local date, time and zone offset.
std::string localTime(int64_t seconds);

}  // namespace DaemonView
