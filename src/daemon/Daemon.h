#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "config/DaemonConfig.h"
#include "daemon/Pid.h"
#include "daemon/SignalStack.h"
#include "dbus/BusContract.h"
#include "dbus/DBusServer.h"
#include "sessions/ProcessTable.h"
#include "sessions/SessionMatch.h"
#include "sessions/UserSessions.h"
#include "token/kxpkcs11.h"
#include "watch/FileWatcher.h"
#include "watch/TicketsWatcher.h"

// The process: owns the long-lived components, runs the start sequence, the slot loop and
// the stop sequence.
class Daemon {
public:
    static constexpr const char* kPidPath = "/var/run/kxauthd.pid";
    // The bus name of the control service, and its interface.
    static constexpr const char* kDBusName = BusContract::kName;
    // Slot events taken in one pass of the loop before it sleeps again.
    static constexpr int kMaxEventsPerPass = 64;

    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until SIGINT or SIGTERM; the result is the process exit status.
    int exec();

    // Adds records for tokens not yet in the store and clears isNew on the others. The caller
    // holds the store's mutex.
    void refreshTokensInfo();

    static void signalHandler(int signalNumber);

    // D-Bus method handlers (run on the server's thread): the token store as the reply, its
    // last-update time, and the fingerprint of the certificate bound to a user account.
    static common::any allTokens(DBusServer::Arguments& args);
    static common::any lastDateUpdate(DBusServer::Arguments& args);
    static common::any getFingerPrintByUserCert(DBusServer::Arguments& args);
    // Logon configuration: the vendor library's applet order, a PAM file's applet, and SSSD's
    // token filter set or removed. Each answers 0, -1 (file or command), -2 (arguments) or -3
    // (directory).
    static common::any setOrderApplets(DBusServer::Arguments& args);
    static common::any setAppletInPamConf(DBusServer::Arguments& args);
    static common::any setTokenFilteringOptionsInSssdConf(DBusServer::Arguments& args);
    static common::any resetTokenFilteringOptionsInSssdConf(DBusServer::Arguments& args);
    // Domain diagnostics: adcli's answer about a domain, and the PAM SSSD results of a time
    // window saved from the journal to /tmp/pam_sss_auth_res.
    static common::any domainAccesssCheck(DBusServer::Arguments& args);
    static common::any saveAuthResultFromPamSssLog(DBusServer::Arguments& args);

    // The removal policy; defined in src/sessions.
    using AuthType = SessionMatch::AuthType;
    using Process = ProcessTable::Process;

    // Closes the token's remote-desktop clients and locks (or powers off on) its sessions, as
    // configured. The caller holds the store's mutex.
    void onTokenEject(const Token::Info& info);
    // Waits for the sessions to report locked, else locks everything; true when they did.
    static bool checkSessionsLock(const std::vector<UserSessions::Session>& sessions);
    static bool isMateRunning();
    // The "lock" command; its exit status: 0 when every session was seen locked.
    static int lockAll();

    static AuthType authType();
    static std::string authTypeName(AuthType type);
    static std::string hostName();
    static std::string domainName();
    static bool isHostOrDomainMatch(const std::string& name, const std::string& domain);
    static bool insensetiveCompare(const std::string& a, const std::string& b);
    bool isSessionMatchLocalPki(const UserSessions::Session& session,
                                const Token::Info& info) const;
    bool isSessionMatchLocalNoPki(const UserSessions::Session& session,
                                  const Token::Info& info) const;
    bool isSessionMatchNetworkPki(const UserSessions::Session& session,
                                  const Token::Info& info) const;
    bool isSessionMatchNetworkNoPki(const UserSessions::Session& session,
                                    const Token::Info& info) const;
    static std::vector<Process> procList(const std::string& name);
    bool isRdpProcMatchTokenInfo(const Process& process, const Token::Info& info) const;

private:
    void initPid();
    void initSignalHandler();
    // Returns once no signal handler uses this object and none will.
    void releaseSignalHandler();
    // Loads the configuration when a reload is due and the file is there.
    void reloadConfig();
    // Handles the events the library has queued, up to kMaxEventsPerPass.
    void pollSlotEvents(CK_SLOT_ID& slot);
    // One slot event as C_WaitForSlotEvent reported it (any result but CKR_NO_EVENT).
    void onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot);

    std::atomic<bool> stop_;
    // SIGHUP: reload the configuration at the next pass.
    std::atomic<bool> hangup_{false};
    SignalStack signalStack_;
    Pid pid_;
    DaemonConfig config_;
    FileWatcher fileWatcher_;
    TicketsWatcher ticketsWatcher_;
};

// The one daemon, for the signal handler; null before it is built and once it is going away.
extern std::atomic<Daemon*> gDaemon;
