#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The daemon's status and its explanation of a token removal (JSON answers of daemonStatus and
// explainTokenRemoval, docs/dbus-api.md) as the administrator reads them. Every text from the
// daemon is escaped for the terminal; a field the answer lacks shows as empty.
namespace DaemonView {

// One line per part: version and uptime, token library, tokens, configuration, authentication
// type, bus name, last slot event, last removal, log records lost, and the service status line.
std::string status(const nlohmann::ordered_json& status);

// Per token: what is configured, what the removal would do, and a table of the sessions and one
// of the remote-desktop clients with each verdict and its reason.
std::string explanation(const nlohmann::ordered_json& explanation);

// Seconds since the epoch as the local date, time and zone offset.
std::string localTime(int64_t seconds);

}  // namespace DaemonView
