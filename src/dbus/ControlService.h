#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "daemon/DataBase.h"
#include "dbus/DBusServer.h"

// The daemon's methods on the bus (docs/dbus-api.md), as one table: each method decodes its
// call's arguments, asks the store or the daemon, and encodes the answer. No decision is made
// here that is not the method's own.
class ControlService {
public:
    using Arguments = DBusServer::Arguments;

    // What the methods ask of the daemon beside the store.
    struct Daemon {
        // daemonStatus's JSON.
        std::function<std::string()> status;
        // explainTokenRemoval's JSON, for the token in the slot, or every token without one.
        std::function<std::string(std::optional<CK_SLOT_ID>)> explain;
    };

    ControlService(const DataBase& store, Daemon daemon)
        : store_(store), daemon_(std::move(daemon)) {}

    // Every method of the table, each under its name.
    void registerWith(DBusServer& server);

    // The token store, encoded once per change of it, and its last change.
    common::any allTokens(Arguments& args);
    common::any lastDateUpdate(Arguments& args);
    // The fingerprint of the certificate in the account's ~/.eid/authorized_certificates.
    common::any getFingerPrintByUserCert(Arguments& args);
    // The arguments, described.
    common::any test(Arguments& args);
    common::any daemonStatus(Arguments& args);
    common::any explainTokenRemoval(Arguments& args);
    // Logon configuration: the vendor library's applet order, a PAM file's applet, and SSSD's
    // token filter set or removed. Each answers 0, -1 (file or command), -2 (arguments) or -3
    // (directory).
    common::any setOrderApplets(Arguments& args);
    common::any setAppletInPamConf(Arguments& args);
    common::any setTokenFilteringOptionsInSssdConf(Arguments& args);
    common::any resetTokenFilteringOptionsInSssdConf(Arguments& args);
    // Domain diagnostics: adcli's answer about a domain, and the PAM SSSD results of a time
    // window saved from the journal to /tmp/pam_sss_auth_res.
    common::any domainAccesssCheck(Arguments& args);
    common::any saveAuthResultFromPamSssLog(Arguments& args);

private:
    const DataBase& store_;
    Daemon daemon_;
    // The store's encoding and the change count it was made at; the D-Bus worker's alone.
    DBusServer::Encoded tokens_;
    std::optional<uint64_t> tokensChangeCount_;
};
