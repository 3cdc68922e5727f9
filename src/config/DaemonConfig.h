#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// The daemon's own settings, read from one small text file. Reloads are requested through the
// reload flag (by the file watcher) and performed by the main thread.
class DaemonConfig {
public:
    static constexpr const char* default_config_path = "/usr/local/etc/kxsentrix/kxsentrixd.conf";
    // A larger file is refused whole; a longer line is skipped with a warning.
    static constexpr size_t kMaxFileSize = 1024 * 1024;
    static constexpr size_t kMaxLineLength = 4096;

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

    // Reads the file; clears the reload flag only when the whole file was read. The file may be
    // anything (a FIFO, a huge file, a line without end): it is read without blocking, only as a
    // regular file and only up to kMaxFileSize.
    bool load();
    // Whether the file can be opened for reading right now (without waiting for a FIFO's writer).
    bool exists() const;

    TokenEjectActionSystem tokenEjectActionSystem() const { return actionSystem_; }
    TokenEjectActionRemote tokenEjectActionRemote() const { return actionRemote_; }
    bool debug() const { return debug_; }
    bool forceSessionMatch() const { return forceSessionMatch_; }
    // Atomic: the ticket guard's thread reads it while the main thread reloads.
    int32_t ticketsCheckIntervalMs() const { return ticketsCheckIntervalMs_; }

    bool getReloadCfgFlag() const { return reloadCfg_; }
    void setReloadCfgFlag(bool value) { reloadCfg_ = value; }

    static std::string systemActionName(TokenEjectActionSystem action);
    static std::string remoteActionName(TokenEjectActionRemote action);

private:
    // One key of the file and how its value is taken; false when the value is not valid for
    // the key (the setting then stays). The table of all of them is kSettings.
    struct Setting {
        const char* key;
        bool (DaemonConfig::*apply)(const std::string& value);
        const char* invalidValueWarning;  // its one %s is the raw value
    };
    static const Setting kSettings[];

    void resetSettings();
    void applyLines(const std::string& content);
    void applyLine(const std::string& line);
    bool applyActionSystem(const std::string& value);
    bool applyActionRemote(const std::string& value);
    bool applyDebug(const std::string& value);
    bool applyForceSessionMatch(const std::string& value);
    bool applyTicketsCheckInterval(const std::string& value);
    void logSummary() const;

    const std::string path_;
    TokenEjectActionSystem actionSystem_ = TokenEjectActionSystem::Undefined;
    TokenEjectActionRemote actionRemote_ = TokenEjectActionRemote::Inaction;
    bool debug_ = true;
    bool forceSessionMatch_ = false;
    std::atomic<int32_t> ticketsCheckIntervalMs_{1000};
    std::atomic<bool> reloadCfg_{true};
};
