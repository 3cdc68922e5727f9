#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The daemon's own settings, read from one small text file. Reloads are requested through the
// reload flag (by the file watcher) and performed by the main thread.
//
// A load changes the settings only when it read a file it can trust whole: a file that cannot
// be opened for another reason than its absence, one that someone other than root can change
// (TrustedPath), and one caught mid-write (empty, cut before its first valid setting, or cut in
// a value) leave the settings in force, with a line that says why.
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

    // The settings, and their values when the file does not set them.
    struct Settings {
        TokenEjectActionSystem actionSystem = TokenEjectActionSystem::Undefined;
        TokenEjectActionRemote actionRemote = TokenEjectActionRemote::Inaction;
        bool debug = true;
        bool forceSessionMatch = false;
        int32_t ticketsCheckIntervalMs = 1000;  // a load without it keeps the one before
        bool terminateUnlockableSessions = false;
    };

    // What a status report tells of the configuration.
    struct Status {
        std::string path;
        int64_t loadedAt = 0;   // wall-clock seconds of the last load that changed the settings
        bool fromFile = false;  // the settings came from a trusted file, not the defaults
        std::string problem;    // why the last load left the settings as they were; empty if none
        Settings settings;
    };

    explicit DaemonConfig(const std::string& path);
    ~DaemonConfig();
    DaemonConfig(const DaemonConfig&) = delete;
    DaemonConfig& operator=(const DaemonConfig&) = delete;

    // The most recently constructed configuration, or null when none is alive.
    static DaemonConfig* instance();

    // Reads the file; clears the reload flag only when the whole file was read and taken. The
    // file may be anything (a FIFO, a huge file, a line without end): it is read without
    // blocking, only as a regular file and only up to kMaxFileSize. A missing file resets the
    // settings to their defaults.
    bool load();
    // Whether nothing is at the path (ENOENT or ENOTDIR on the way): only then is the file gone.
    bool missing() const;
    // Whether the removal handling is to act on the settings rather than as without a file: the
    // file is there, or cannot be told gone; one that is not trusted counts as there only while
    // settings from a trusted file are in force.
    bool exists() const;

    // The settings are read by the main thread, the ticket guard's and a status report's.
    Settings settings() const;
    Status status() const;
    TokenEjectActionSystem tokenEjectActionSystem() const { return settings().actionSystem; }
    TokenEjectActionRemote tokenEjectActionRemote() const { return settings().actionRemote; }
    bool debug() const { return settings().debug; }
    bool forceSessionMatch() const { return settings().forceSessionMatch; }
    int32_t ticketsCheckIntervalMs() const { return settings().ticketsCheckIntervalMs; }

    bool getReloadCfgFlag() const { return reloadCfg_; }
    // A request (true) also lets the next load report again a problem it already reported.
    void setReloadCfgFlag(bool value);

    static std::string systemActionName(TokenEjectActionSystem action);
    static std::string remoteActionName(TokenEjectActionRemote action);

private:
    // One key of the file and how its value is taken; false when the value is not valid for
    // the key (the setting then stays). The table of all of them is kSettings.
    struct Setting {
        const char* key;
        bool (*apply)(const std::string& value, Settings& settings);
        const char* invalidValueWarning;  // its one %s is the raw value
    };
    static const Setting kSettings[];

    // The number of valid settings read; throws when a value ends the reading.
    size_t applyLines(const std::string& content, Settings& settings) const;
    bool applyLine(const std::string& line, Settings& settings) const;
    static bool applyActionSystem(const std::string& value, Settings& settings);
    static bool applyActionRemote(const std::string& value, Settings& settings);
    static bool applyDebug(const std::string& value, Settings& settings);
    static bool applyForceSessionMatch(const std::string& value, Settings& settings);
    static bool applyTicketsCheckInterval(const std::string& value, Settings& settings);
    static bool applyTerminateUnlockableSessions(const std::string& value, Settings& settings);
    static void logSummary(const Settings& settings);
    // Keeps the settings in force: logs why at `level` (once per request) and returns false.
    bool keep(int level, const std::string& problem);
    void take(const Settings& settings, bool fromFile);

    const std::string path_;
    mutable std::mutex mutex_;  // guards status_
    Status status_;
    std::atomic<bool> reloadCfg_{true};
    // Counts reload requests, so a problem is reported once per request, not once per event.
    std::atomic<uint64_t> requests_{0};
    uint64_t reportedRequest_ = 0;
    std::string reported_;
};
