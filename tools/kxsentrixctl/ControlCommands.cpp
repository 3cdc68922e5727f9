#include "ControlCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "DaemonView.h"
#include "TerminalText.h"
#include "TokenView.h"
#include "config/DaemonConfig.h"
#include "sessions/LogonSetup.h"
#include "daemon/StatusReport.h"
#include "dbus/BusContract.h"
#include "dbus/LogonEdits.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

#ifndef KX_DAEMON_PATH
#error "KX_DAEMON_PATH names the installed kxsentrixd"
#endif

namespace {

constexpr char kOneLine[] = "no value may hold a line break or another control character";

ExitStatus fail(ExitStatus status, const std::string& problem) {
    std::cerr << "kxsentrixctl: " << problem << "\n";
    return status;
}

// The daemon answers without a value when a call is malformed or its handler failed.
ExitStatus unexpected(const std::string& method, const BusClient::Reply& reply) {
    return fail(kFailed, "kxsentrixd answered " + method + " with no valid result (signature '" +
                             reply.signature() + "'); see the system log");
}

// What one negative answer of a method that changes the system means.
struct Failures {
    std::string fileOrCommand;  // -1
    std::string arguments;      // -2
    std::string directory;      // -3
};

ExitStatus codeAnswer(const BusClient& bus, const std::string& method,
                      const std::vector<std::string>& arguments, const std::string& done,
                      const Failures& failures) {
    BusClient::Reply reply = bus.call(method, arguments);
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<int32_t> code = reply.int32();
    if (!code) {
        return unexpected(method, reply);
    }
    switch (*code) {
        case BusContract::kDone:
            std::cout << done << "\n";
            return kDone;
        case BusContract::kFileOrCommandFailed:
            return fail(kFailed, failures.fileOrCommand + " (see the system log)");
        case BusContract::kWrongArguments:
            return fail(kUsage, "kxsentrixd refused the arguments: " + failures.arguments);
        case BusContract::kDirectoryFailed:
            if (!failures.directory.empty()) {
                return fail(kFailed, failures.directory + " (see the system log)");
            }
            break;
    }
    return fail(kFailed, "kxsentrixd answered " + method + " with " + std::to_string(*code));
}

// A JSON answer (daemonStatus, explainTokenRemoval): the object, or null when the answer is
// none.
std::optional<nlohmann::ordered_json> jsonAnswer(const BusClient::Reply& reply) {
    std::optional<std::string> text = reply.string();
    if (!text) {
        return std::nullopt;
    }
    nlohmann::ordered_json value = nlohmann::ordered_json::parse(*text, nullptr, false);
    if (!value.is_object()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

ExitStatus ControlCommands::tokens(const BusClient& bus, bool json) {
    BusClient::Reply reply = bus.call(BusContract::kAllTokens);
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<std::vector<Token::Info>> tokens = TokenView::decode(reply.message.get());
    if (!tokens) {
        return unexpected(BusContract::kAllTokens, reply);
    }
    if (json) {
        std::cout << TerminalText::json(TokenView::json(*tokens)) << "\n";
    } else if (tokens->empty()) {
        std::cout << "No token is inserted.\n";
    } else {
        std::cout << TokenView::table(*tokens);
    }
    return kDone;
}

ExitStatus ControlCommands::lastUpdate(const BusClient& bus) {
    BusClient::Reply reply = bus.call(BusContract::kLastDateUpdate);
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<int64_t> seconds = reply.int64();
    if (!seconds) {
        return unexpected(BusContract::kLastDateUpdate, reply);
    }
    // 0: the daemon has not finished its first look at the slots.
    std::cout << *seconds << " " << (*seconds == 0 ? "never" : DaemonView::localTime(*seconds))
              << "\n";
    return kDone;
}

ExitStatus ControlCommands::status(const BusClient& bus, bool json) {
    BusClient::Reply reply = bus.call(BusContract::kDaemonStatus);
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<nlohmann::ordered_json> status = jsonAnswer(reply);
    if (!status) {
        return unexpected(BusContract::kDaemonStatus, reply);
    }
    std::cout << (json ? TerminalText::json(*status) + "\n" : DaemonView::status(*status));
    return kDone;
}

ExitStatus ControlCommands::explain(const BusClient& bus, std::optional<uint64_t> slot, bool json) {
    BusClient::Reply reply = bus.call(
        BusContract::kExplainTokenRemoval,
        slot ? std::vector<std::string>{std::to_string(*slot)} : std::vector<std::string>{});
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<nlohmann::ordered_json> explanation = jsonAnswer(reply);
    if (!explanation || !(*explanation)["tokens"].is_array()) {
        return unexpected(BusContract::kExplainTokenRemoval, reply);
    }
    if (slot && (*explanation)["tokens"].empty()) {
        return fail(kFailed, "no token in slot " + std::to_string(*slot));
    }
    if (json) {
        std::cout << TerminalText::json(*explanation) << "\n";
    } else if ((*explanation)["tokens"].empty()) {
        std::cout << "No token is inserted.\n";
    } else {
        // Which PAM file names no token logon, when that is why nothing would be locked.
        const std::string unconfigured = SessionMatch::authTypeName(SessionMatch::AuthType::NotConfigured);
        std::optional<nlohmann::ordered_json> logon;
        for (const nlohmann::ordered_json& token : (*explanation)["tokens"]) {
            if (!logon && token.is_object() && token.contains("authType") &&
                token["authType"] == unconfigured) {
                logon = jsonAnswer(bus.call(BusContract::kDaemonStatus));
            }
        }
        std::cout << DaemonView::explanation(*explanation, logon.value_or(nullptr));
    }
    return kDone;
}

ExitStatus ControlCommands::checkConfig(const std::string& file) {
    // The daemon walks the path from the root to judge who may change the file.
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::absolute(file, failed);
    const std::string path = failed ? file : absolute.lexically_normal().string();
    const DaemonConfig::Reading reading = DaemonConfig::read(path, DaemonConfig::Status());
    StatusReport report;  // as the daemon's status would show it after a start with this file
    report.config = {path, 0, reading.fromFile, reading.problem, reading.settings};
    report.configActedOn = reading.actedOn;
    const LogonSetup::Logon logon = LogonSetup::read(true);
    report.authType = SessionMatch::authTypeName(logon.type.value_or(LogonSetup::AuthType::NotConfigured));
    report.authFile = logon.file;
    report.authRead = logon.type.has_value();
    for (const DaemonConfig::Note& note : reading.notes) {
        std::cout << TerminalText::cell(KxLogger::prefix(note.level) + note.text) << "\n";
    }
    using Result = DaemonConfig::Reading::Result;
    std::cout << DaemonView::configurationCheck(
        path, reading.result == Result::Missing   ? "missing"
              : reading.result == Result::Refused ? "refused: the daemon keeps the settings in "
                                                    "force before it"
              : reading.sound()                   ? "sound"
                                                  : "taken, with the warnings above",
        nlohmann::ordered_json::parse(report.json()));
    return reading.sound() ? kDone : kFailed;
}

ExitStatus ControlCommands::fingerprint(const BusClient& bus, const std::string& user) {
    BusClient::Reply reply = bus.call(BusContract::kFingerprint, {user});
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<std::string> fingerprint = reply.string();
    if (reply.signature().empty()) {
        return fail(kFailed, "no such user: " + Common::printable(user));
    }
    if (!fingerprint) {
        return unexpected(BusContract::kFingerprint, reply);
    }
    if (fingerprint->empty()) {
        return fail(kFailed, "no certificate in the .eid/authorized_certificates file of " +
                                 Common::printable(user) + " (see the system log)");
    }
    std::cout << *fingerprint << "\n";
    return kDone;
}

ExitStatus ControlCommands::setAppletOrder(const BusClient& bus, const std::string& order,
                                           const std::string& images) {
    return codeAnswer(bus, BusContract::kSetOrderApplets, {order, images},
                      std::string("AppletOrder and Images set in ") + BusContract::kLibraryConfig,
                      {std::string("kxsentrixd could not write ") + BusContract::kLibraryConfig,
                       kOneLine, "kxsentrixd could not create /etc/xdg/HalvardLtd"});
}

ExitStatus ControlCommands::setPamApplet(const BusClient& bus, const std::string& file,
                                         const std::string& applet) {
    std::string path = file.find('/') == std::string::npos
                           ? std::string(BusContract::kPamDirectory) + "/" + file
                           : file;
    const std::string shownPath = Common::printable(path);
    // The file as the daemon will find it, to tell what the edit does: the daemon leaves it
    // untouched when nothing changes.
    std::string done = "Every applet= of " + shownPath + " now names " + Common::printable(applet);
    std::string content;
    if (UntrustedFile::read(path, content)) {
        const LogonEdits::Lines before = LogonEdits::splitLines(content);
        LogonEdits::Lines after = before;
        if (LogonEdits::setPamApplet(after, applet) == 0) {
            done = shownPath + ": no applet= lines; nothing changed";
        } else if (after == before) {
            done = "Every applet= of " + shownPath + " already names " +
                   Common::printable(applet) + "; nothing changed";
        }
    }
    struct stat status {};
    const std::string refused =
        !LogonEdits::isOneLine(applet) ? std::string(kOneLine)
        : lstat(path.c_str(), &status) != 0
            ? std::string("FILE must be an existing file in ") + BusContract::kPamDirectory +
                  ": " + shownPath + " does not exist"
            : std::string("FILE must be a regular file in ") + BusContract::kPamDirectory + ": " +
                  shownPath + " is not one";
    return codeAnswer(bus, BusContract::kSetAppletInPamConf, {path, applet}, done,
                      {"kxsentrixd could not read or write " + shownPath, refused, ""});
}

ExitStatus ControlCommands::setSssdFilter(const BusClient& bus, const std::string& model,
                                          const std::string& serial) {
    return codeAnswer(bus, BusContract::kSetTokenFilter, {model, serial},
                      std::string("SSSD accepts only the token model=") + Common::printable(model) +
                          ";serial=" + Common::printable(serial),
                      {std::string("kxsentrixd could not rewrite ") + BusContract::kSssdConfig +
                           " or restart sssd",
                       kOneLine, ""});
}

ExitStatus ControlCommands::resetSssdFilter(const BusClient& bus) {
    return codeAnswer(bus, BusContract::kResetTokenFilter, {},
                      std::string("SSSD's token filter removed from ") + BusContract::kSssdConfig,
                      {std::string("kxsentrixd could not rewrite ") + BusContract::kSssdConfig +
                           " or restart sssd",
                       kOneLine, ""});
}

ExitStatus ControlCommands::domainCheck(const BusClient& bus, const std::string& domain) {
    BusClient::Reply reply = bus.call(BusContract::kDomainCheck, {domain});
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<int32_t> code = reply.int32();
    if (!code) {
        return unexpected(BusContract::kDomainCheck, reply);
    }
    std::string name = Common::printable(domain);
    switch (*code) {
        case BusContract::kDone:
            std::cout << "The domain " << name << " answers (adcli info: status 0)\n";
            return kDone;
        case BusContract::kFileOrCommandFailed:
            return fail(kFailed, "adcli info " + name + " did not end normally");
        case BusContract::kWrongArguments:
            return fail(kUsage, "kxsentrixd refused the arguments: a domain cannot start with '-'");
        case 127:
            return fail(kFailed, "kxsentrixd cannot run adcli: is it installed?");
    }
    return fail(kFailed, "adcli info " + name + " failed with status " + std::to_string(*code));
}

ExitStatus ControlCommands::authResult(const BusClient& bus, const std::string& since,
                                       const std::string& until) {
    BusClient::Reply reply = bus.call(BusContract::kSaveAuthResult, {since, until});
    if (reply.status != kDone) {
        return fail(reply.status, reply.problem);
    }
    std::optional<int32_t> code = reply.int32();
    if (!code) {
        return unexpected(BusContract::kSaveAuthResult, reply);
    }
    if (*code == BusContract::kWrongArguments) {
        return fail(kUsage, std::string("kxsentrixd refused the arguments: ") + kOneLine);
    }
    if (*code != 0) {
        return fail(kFailed, "no PAM SSSD authentication results in the journal between " +
                                 Common::printable(since) + " and " + Common::printable(until));
    }
    std::string content;
    int error = 0;
    if (!UntrustedFile::read(BusContract::kAuthResults, content, UntrustedFile::kDefaultLimit,
                             &error)) {
        return fail(kFailed, std::string("cannot read ") + BusContract::kAuthResults + ": " +
                                 std::strerror(error));
    }
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        std::cout << Common::printable(line) << "\n";
    }
    return kDone;
}

ExitStatus ControlCommands::lockAll() {
    const char* configured = std::getenv("KXSENTRIXD");
    std::string daemon = configured != nullptr && *configured != '\0' ? configured : KX_DAEMON_PATH;
    std::cout.flush();
    execl(daemon.c_str(), daemon.c_str(), "lock", static_cast<char*>(nullptr));
    int error = errno;
    return fail(kUnreachable, "cannot run " + daemon + " lock: " + std::strerror(error));
}
