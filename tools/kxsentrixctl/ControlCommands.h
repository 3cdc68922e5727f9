#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "BusClient.h"
#include "ExitStatus.h"

// One subcommand per method of kxsentrixd's D-Bus interface: each calls the method, prints what
// the answer means and returns the exit status that says it.
namespace ControlCommands {

ExitStatus tokens(const BusClient& bus, bool json);
ExitStatus lastUpdate(const BusClient& bus);
ExitStatus status(const BusClient& bus, bool json);
// What the removal of the token in `slot` (of every token without one) would do.
ExitStatus explain(const BusClient& bus, std::optional<uint64_t> slot, bool json);
ExitStatus fingerprint(const BusClient& bus, const std::string& user);
ExitStatus setAppletOrder(const BusClient& bus, const std::string& order,
                          const std::string& images);
// `file` without a slash names a file in /etc/pam.d.
ExitStatus setPamApplet(const BusClient& bus, const std::string& file, const std::string& applet);
ExitStatus setSssdFilter(const BusClient& bus, const std::string& model, const std::string& serial);
ExitStatus resetSssdFilter(const BusClient& bus);
ExitStatus domainCheck(const BusClient& bus, const std::string& domain);
// Prints the results the daemon saved from the journal.
ExitStatus authResult(const BusClient& bus, const std::string& since, const std::string& until);

// Reads the configuration file as the daemon would at its start, without asking it: prints every
// warning, the settings that would be in force and what a removal would do; kDone only when the
// file is taken without a warning.
ExitStatus checkConfig(const std::string& file);

// Replaces this process by `kxsentrixd lock`, so its exit status is ours; returns only when the
// daemon cannot be run. KXSENTRIXD names another daemon binary than the installed one.
ExitStatus lockAll();

}  // namespace ControlCommands
