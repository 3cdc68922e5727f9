#pragma once

#include <cstdint>
#include <string_view>

// What the daemon and its clients agree on over the system bus: the name, the methods and who
// may call them, the answers of the methods that change the system and the files they touch.
// The daemon, kxsentrixctl, the system tests (tests/system/system_helpers.py reads this file)
// and docs/dbus-api.md take it from here; the bus policy, dist/dbus/kx.daemon.server.conf, must
// let users call exactly the methods marked Everyone, which test_dbus_service.py checks on a bus
// that loads it.
namespace BusContract {

// The well-known name, which is the interface of the methods too.
constexpr char kName[] = "kx.daemon.server";

enum class Caller { Everyone, Root };

struct Method {
    const char* name;
    Caller caller;
};

constexpr char kAllTokens[] = "allTokens";
constexpr char kLastDateUpdate[] = "lastDateUpdate";
constexpr char kTest[] = "test";
constexpr char kFingerprint[] = "getFingerPrintByUserCert";
constexpr char kSetOrderApplets[] = "setOrderApplets";
constexpr char kSetAppletInPamConf[] = "setAppletInPamConf";
constexpr char kSetTokenFilter[] = "setTokenFilteringOptionsInSssdConf";
constexpr char kResetTokenFilter[] = "resetTokenFilteringOptionsInSssdConf";
constexpr char kDomainCheck[] = "domainAccesssCheck";
constexpr char kSaveAuthResult[] = "saveAuthResultFromPamSssLog";
constexpr char kDaemonStatus[] = "daemonStatus";
constexpr char kExplainTokenRemoval[] = "explainTokenRemoval";

// One row per method the daemon serves.
constexpr Method kMethods[] = {
    {kAllTokens, Caller::Everyone},    {kLastDateUpdate, Caller::Everyone},
    {kTest, Caller::Everyone},         {kFingerprint, Caller::Root},
    {kSetOrderApplets, Caller::Root},  {kSetAppletInPamConf, Caller::Root},
    {kSetTokenFilter, Caller::Root},   {kResetTokenFilter, Caller::Root},
    {kDomainCheck, Caller::Root},      {kSaveAuthResult, Caller::Root},
    {kDaemonStatus, Caller::Everyone}, {kExplainTokenRemoval, Caller::Root},
};

// Who may call `method`; root alone for one the table does not name. The daemon checks it itself
// for every call: the bus policy is not the only guard.
constexpr Caller callerOf(std::string_view method) {
    for (const Method& row : kMethods) {
        if (method == row.name) {
            return row.caller;
        }
    }
    return Caller::Root;
}

// Answers of the methods that change the system or run a command (the domain check answers the
// command's own exit code, 0 to 255, beside -1 and -2).
constexpr int32_t kDone = 0;
constexpr int32_t kFileOrCommandFailed = -1;
constexpr int32_t kWrongArguments = -2;
constexpr int32_t kDirectoryFailed = -3;

// The files they touch.
constexpr char kLibraryConfigDirectory[] = "/etc/xdg/HalvardLtd";
constexpr char kLibraryConfig[] = "/etc/xdg/HalvardLtd/kxpkcs11.conf";  // setOrderApplets
constexpr char kPamDirectory[] = "/etc/pam.d";                          // setAppletInPamConf
constexpr char kSssdConfig[] = "/etc/sssd/sssd.conf";                   // the token filter
constexpr char kAuthResults[] = "/tmp/pam_sss_auth_res";                // saveAuthResult...

}  // namespace BusContract
