// kxsentrixctl: the administrator's client of kxsentrixd. Every subcommand but the PIN checks,
// check-config and lock-all is one D-Bus method of the daemon; see kxsentrixctl(1).
#include <dbus/dbus.h>

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>

#include "BusClient.h"
#include "ControlCommands.h"
#include "ExitStatus.h"
#include "PinCommands.h"
#include "config/DaemonConfig.h"

namespace {

struct Arguments {
    std::string first;
    std::string second;
    uint64_t slot = 0;
    std::optional<uint64_t> optionalSlot;
    bool json = false;
    bool admin = false;
    unsigned timeoutSeconds = 30;
};

}  // namespace

int main(int argc, char* argv[]) {
    CLI::App app{
        "Client of the Korvex Sentrix daemon kxsentrixd: tokens, logon configuration, "
        "domain diagnostics, session lock and PIN checks.",
        "kxsentrixctl"};
    app.set_version_flag("-V,--version", std::string("kxsentrixctl ") + KX_VERSION);
    app.require_subcommand(1);
    Arguments in;
    std::function<ExitStatus(const BusClient&)> command;
    app.add_option("--timeout", in.timeoutSeconds,
                   "Seconds to wait for the daemon's answer (default 30)")
        ->check(CLI::Range(1u, 3600u));

    auto on = [&](CLI::App* sub, std::function<ExitStatus(const BusClient&)> run) {
        sub->callback([&command, run] { command = run; });
        return sub;
    };

    CLI::App* tokens =
        on(app.add_subcommand("tokens", "List the inserted tokens"),
           [&](const BusClient& bus) { return ControlCommands::tokens(bus, in.json); });
    tokens->add_flag("--json", in.json, "Every field of every token as JSON");

    on(app.add_subcommand("last-update", "When the token list last changed"),
       [](const BusClient& bus) { return ControlCommands::lastUpdate(bus); });

    on(app.add_subcommand("status", "How the daemon is doing"), [&](const BusClient& bus) {
        return ControlCommands::status(bus, in.json);
    })->add_flag("--json", in.json, "As JSON");

    CLI::App* explain =
        on(app.add_subcommand("explain", "What pulling a token would do now, and why"),
           [&](const BusClient& bus) {
               return ControlCommands::explain(bus, in.optionalSlot, in.json);
           });
    explain->add_option("SLOT", in.optionalSlot, "Only the token in this slot");
    explain->add_flag("--json", in.json, "As JSON");

    on(app.add_subcommand("fingerprint", "SHA-1 fingerprint of the certificate bound to USER"),
       [&](const BusClient& bus) { return ControlCommands::fingerprint(bus, in.first); })
        ->add_option("USER", in.first, "Login name")
        ->required();

    CLI::App* order =
        on(app.add_subcommand("set-applet-order",
                              "Set AppletOrder and Images in the token library's configuration"),
           [&](const BusClient& bus) {
               return ControlCommands::setAppletOrder(bus, in.first, in.second);
           });
    order->add_option("ORDER", in.first, "Value of AppletOrder")->required();
    order->add_option("IMAGES", in.second, "Value of Images")->required();

    CLI::App* pam =
        on(app.add_subcommand("set-pam-applet", "Make every applet= of a PAM file name APPLET"),
           [&](const BusClient& bus) {
               return ControlCommands::setPamApplet(bus, in.first, in.second);
           });
    pam->add_option("FILE", in.first, "A file in /etc/pam.d: its name or absolute path")
        ->required();
    pam->add_option("APPLET", in.second, "Applet name")->required();

    CLI::App* filter =
        on(app.add_subcommand("set-sssd-filter", "Let SSSD accept only this token, restart sssd"),
           [&](const BusClient& bus) {
               return ControlCommands::setSssdFilter(bus, in.first, in.second);
           });
    filter->add_option("MODEL", in.first, "Token model")->required();
    filter->add_option("SERIAL", in.second, "Token serial number")->required();

    on(app.add_subcommand("reset-sssd-filter", "Remove SSSD's token filter, restart sssd"),
       [](const BusClient& bus) { return ControlCommands::resetSssdFilter(bus); });

    on(app.add_subcommand("domain-check", "Ask adcli whether DOMAIN answers"),
       [&](const BusClient& bus) { return ControlCommands::domainCheck(bus, in.first); })
        ->add_option("DOMAIN", in.first, "Active Directory domain")
        ->required();

    CLI::App* auth =
        on(app.add_subcommand("auth-result",
                              "PAM SSSD authentication results logged between SINCE and UNTIL"),
           [&](const BusClient& bus) {
               return ControlCommands::authResult(bus, in.first, in.second);
           });
    auth->add_option("SINCE", in.first, "Start, as journalctl --since takes it")->required();
    auth->add_option("UNTIL", in.second, "End, as journalctl --until takes it")->required();

    on(app.add_subcommand("check-config",
                          "Read the daemon's configuration file as the daemon would, without it"),
       [&](const BusClient&) {
           return ControlCommands::checkConfig(in.first.empty() ? DaemonConfig::default_config_path
                                                                : in.first);
       })
        ->add_option("FILE", in.first, "Another file than the daemon's");

    on(app.add_subcommand("lock-all", "Lock every login session (runs kxsentrixd lock)"),
       [](const BusClient&) { return ControlCommands::lockAll(); });

    CLI::App* pinStatus =
        on(app.add_subcommand("pin-status", "Retries left and PIN expiry of the inserted tokens"),
           [&](const BusClient&) { return PinCommands::status(in.optionalSlot, in.json); });
    pinStatus->add_option("SLOT", in.optionalSlot, "Only the token in this slot");
    pinStatus->add_flag("--json", in.json, "As JSON");

    CLI::App* pinCheck =
        on(app.add_subcommand("pin-check", "Ask the PIN and verify it on the token in SLOT"),
           [&](const BusClient&) { return PinCommands::check(in.slot, in.admin); });
    pinCheck->add_option("SLOT", in.slot, "Slot of the token")->required();
    pinCheck->add_flag("--admin", in.admin, "Verify the administrator's (SO) PIN");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? kDone : kUsage;
    }
    ExitStatus status = command(BusClient(static_cast<int>(in.timeoutSeconds) * 1000));
    dbus_shutdown();  // frees what libdbus keeps for the process
    return status;
}
