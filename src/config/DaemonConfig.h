#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The daemon's own settings, read from one small text file. Reloads are requested through the
// reload flag (by the file watcher) and performed by the main thread.
class DaemonConfig {
public:
    static constexpr const char* default_config_path = "/usr/local/etc/kxsentrix/kxsentrixd.conf";

    // What to do with the local sessions when a token is removed.
    enum class TokenEjectActionSystem : int32_t {
        Undefined = -1,
        Inaction = 0,
        LockSession = 1,
        PowerOff = 2,
    };

    // What to do with remote-desktop connections when a token is removed.
    enum class TokenEjectActionRemote : int32_t {
        Inaction = 0,
        CloseConnection = 1,
    };

    explicit DaemonConfig(const std::string& path);
    ~DaemonConfig();
    DaemonConfig(const DaemonConfig&) = delete;
    DaemonConfig& operator=(const DaemonConfig&) = delete;

    // The most recently constructed configuration, or null when none is alive.
    static DaemonConfig* instance();

    // Reads the file; clears the reload flag only when the whole file was read.
    bool load();
    // Whether the file can be opened for reading right now.
    bool exists() const;

    TokenEjectActionSystem tokenEjectActionSystem() const { return actionSystem_; }
    TokenEjectActionRemote tokenEjectActionRemote() const { return actionRemote_; }
    bool debug() const { return debug_; }
    bool forceSessionMatch() const { return forceSessionMatch_; }
    int32_t ticketsCheckIntervalMs() const { return ticketsCheckIntervalMs_; }

    bool getReloadCfgFlag() const { return reloadCfg_; }
    void setReloadCfgFlag(bool value) { reloadCfg_ = value; }

    static std::string systemActionName(TokenEjectActionSystem action);
    static std::string remoteActionName(TokenEjectActionRemote action);

private:
    void resetSettings();
    void applyLine(const std::string& line);
    void logSummary() const;

    const std::string path_;
    TokenEjectActionSystem actionSystem_ = TokenEjectActionSystem::Undefined;
    TokenEjectActionRemote actionRemote_ = TokenEjectActionRemote::Inaction;
    bool debug_ = true;
    bool forceSessionMatch_ = false;
    int32_t ticketsCheckIntervalMs_ = 1000;
    std::atomic<bool> reloadCfg_{true};
};
