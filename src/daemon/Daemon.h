#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config/DaemonConfig.h"
#include "daemon/DataBase.h"
#include "daemon/ElapsedTimer.h"
#include "daemon/Pid.h"
#include "daemon/SignalStack.h"
#include "daemon/StateFile.h"
#include "daemon/StatusReport.h"
#include "daemon/SlotLoop.h"
#include "dbus/BusContract.h"
#include "dbus/DBusServer.h"
#include "removal/LockAhead.h"
#include "removal/Removal.h"
#include "removal/RemovalRunner.h"
#include "removal/SystemActions.h"
#include "sessions/ProcessTable.h"
#include "sessions/SessionMatch.h"
#include "sessions/UserSessions.h"
#include "token/kxpkcs11.h"
#include "watch/FileWatcher.h"
#include "watch/TicketsWatcher.h"

// The process: owns the long-lived components, runs the start sequence, the slot loop and
// the stop sequence.
class Daemon : private SlotLoop::Owner {
public:
    static constexpr const char* kPidPath = "/var/run/kxauthd.pid";
    // The bus name of the control service, and its interface.
    static constexpr const char* kDBusName = BusContract::kName;
    // What a status report tells of the vendor library and the slot loop.
    using LoopStatus = StatusReport::Loop;

    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until SIGINT or SIGTERM; the result is the process exit status.
    int exec();

    LoopStatus loopStatus() const;
    // How the daemon is doing now; all but the bus's part, which its server knows.
    StatusReport statusReport() const;

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
    // What the removal of the token in the slot given (of every token, without one or with an
    // empty string) would do now, as JSON; never acts (docs/dbus-api.md).
    common::any explainTokenRemoval(DBusServer::Arguments& args) const;

    // The removal policy; defined in src/sessions.
    using AuthType = SessionMatch::AuthType;
    using Process = ProcessTable::Process;

    // Locks (or powers off on) the token's sessions and closes its remote-desktop clients, as
    // configured, taking the answers of the lock requests that left ahead; returns what was
    // done (its time and slot left to the caller). Runs on a removal's own thread. A token that
    // left while the daemon was not running (not `seen`) never powers the machine off;
    // `requestsSent` runs once its lock requests have gone out.
    RemovalOutcome onTokenEject(const Token::Info& info, const EarlyLocks& early, bool seen = true,
                                std::function<void()> requestsSent = nullptr);
    // What a removal reads now: the live configuration, and the PAM file, the host, logind and
    // the users' certificates.
    RemovalPlan::Settings removalSettings() const;
    static RemovalPlan::Sources removalSources();
    // What the removal of the token would do now; asks, never acts.
    RemovalPlan planRemoval(const Token::Info& info) const;
    // Waits for the sessions to report locked, else locks everything; true when they did. The
    // time reported is that since the lock requests.
    static bool checkSessionsLock(const std::vector<UserSessions::Session>& sessions,
                                  const ElapsedTimer& sinceRequests);
    static bool isMateRunning();
    // The "lock" command; its exit status: 0 when every session was seen locked.
    static int lockAll();

    // The PAM stack that names the token logon; Debian calls it common-auth, which is read
    // where there is no system-auth.
    static constexpr const char* kPamSystemAuth = "/etc/pam.d/system-auth";
    static constexpr const char* kPamCommonAuth = "/etc/pam.d/common-auth";
    // The machine's token logon and the PAM file it was read from (empty when neither exists).
    // No type when that file is there but could not be read: the logon is then unknown.
    struct Logon {
        std::optional<AuthType> type;
        std::string file;
    };
    // The one reader of the logon type; logs a file it could not read unless `quiet` (for the
    // status, which any user may ask for).
    static Logon readAuthType(bool quiet = false);
    // Quiet; NotConfigured when the file could not be read.
    static AuthType authType();
    static std::string authTypeName(AuthType type);
    static std::string hostName();
    static std::string domainName();
    static bool isHostOrDomainMatch(const std::string& name, const std::string& domain);
    static bool insensetiveCompare(const std::string& a, const std::string& b);
    static std::vector<Process> procList(const std::string& name);
    bool isRdpProcMatchTokenInfo(const Process& process, const Token::Info& info) const;

private:
    void initPid();
    void initSignalHandler();
    // Returns once no signal handler uses this object and none will.
    void releaseSignalHandler();
    // Loads the configuration when a reload is due.
    void reloadConfig();
    // Warns when the configured action needs a token logon that the PAM stack does not name;
    // at the start, also says when the stack is Debian's common-auth.
    void noteLogonSetup(bool starting) const;

    // What the slot loop asks of the daemon (SlotLoop::Owner).
    void beforeEvent() override { reloadConfig(); }
    void removed(CK_SLOT_ID slot, Token::Info info, EarlyLocks early) override;
    void leftUnseen(CK_SLOT_ID slot, Token::Info info) override;
    void lostTrack(CK_SLOT_ID slot, std::string why) override;
    void handleRemoval(CK_SLOT_ID slot, Token::Info info, EarlyLocks early, bool seen);
    void statusChanged() override { statusChanged_ = true; }

    void noteRemoval(CK_SLOT_ID slot, StatusReport::Removal removal);
    // Tells the service manager the status line (after `first`, e.g. "READY=1\n"); without
    // `first`, only a line that differs from the one told before. False when nothing was told.
    bool notifyStatus(const char* first = "");

    std::atomic<bool> stop_;
    const int64_t startedAt_;  // wall-clock seconds
    const ElapsedTimer running_;
    // The status line may have changed (tokens, configuration, a removal): the loop tells the
    // service manager, once. Main thread only: the line last told.
    std::atomic<bool> statusChanged_{false};
    std::string statusLine_;
    // SIGHUP: reload the configuration at the next pass.
    std::atomic<bool> hangup_{false};
    SignalStack signalStack_;
    Pid pid_;
    DaemonConfig config_;
    FileWatcher fileWatcher_;
    TicketsWatcher ticketsWatcher_;
    // What the daemon after this one must know of the tokens; before the removals, which hold
    // their tokens in it.
    StateFile stateFile_;
    // Each removal on a thread of its own; the lock requests of every stored token decided ahead.
    RemovalRunner removals_;
    LockAhead lockAhead_{[this](const Token::Info& info) { return planRemoval(info); }};

    SlotLoop slotLoop_{*this, lockAhead_, stateFile_};
    // What the status tells of the removals, under statusMutex_.
    mutable std::mutex statusMutex_;
    StatusReport::Removal lastRemoval_;
    uint64_t removalsHandled_ = 0;
};

// The one daemon, for the signal handler; null before it is built and once it is going away.
extern std::atomic<Daemon*> gDaemon;
