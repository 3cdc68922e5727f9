#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The daemon's own settings, read from one small text file. Reloads are requested through the
// reload flag (by the file watcher) and performed by the main thread.
//
// A load changes the settings only when it read a file it can trust whole: a file that cannot
// be opened for another reason than its absence, one that someone other than root can change
// (TrustedPath), one caught mid-write (empty, cut before its first valid setting) and one with
// a value that is not valid for its key leave the settings in force, with a line that says why.
// What a load would do is decided by read(), which kxsentrixctl check-config shows as well.
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

    // One record of a load, as it is logged.
    struct Note {
        int level;
        std::string text;
    };

    // What a load of the file would do, decided without changing anything.
    struct Reading {
        enum class Result {
            Taken,    // the file's settings come into force
            Missing,  // nothing at the path: the defaults, and a removal powers off
            Refused,  // the settings in force before stay
        };
        Result result = Result::Refused;
        Settings settings;      // in force after the load
        bool fromFile = false;  // they came from a trusted file
        bool actedOn = true;    // exists() after the load: else a removal powers off
        std::string problem;    // why the file was not taken (Refused), as logged
        std::vector<Note> notes;  // every warning and error, in the order they are logged
        // Taken, and nothing to warn of.
        bool sound() const { return result == Result::Taken && notes.empty(); }
    };

    explicit DaemonConfig(const std::string& path);
    ~DaemonConfig();
    DaemonConfig(const DaemonConfig&) = delete;
    DaemonConfig& operator=(const DaemonConfig&) = delete;

    // The most recently constructed configuration, or null when none is alive.
    static DaemonConfig* instance();

    // What loading the file at `path` would do to the configuration `before`. The file may be
    // anything (a FIFO, a huge file, a line without end): it is read without blocking, only as
    // a regular file and only up to kMaxFileSize. Logs nothing.
    static Reading read(const std::string& path, const Status& before);
    // The settings a text sets (the interval starting from that of `inForce`), with the
    // warnings of its lines.
    struct Parsed {
        Settings settings;
        std::vector<Note> notes;
        size_t valid = 0;   // settings read
        std::string error;  // the first value that refuses the file, as logged; empty if none
    };
    static Parsed parse(const std::string& content, const std::string& path,
                        const Settings& inForce);

    // Reads the file and logs what read() says; clears the reload flag only when the file's
    // settings came into force. A missing file resets the settings to their defaults.
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
    bool terminateUnlockableSessions() const { return settings().terminateUnlockableSessions; }

    bool getReloadCfgFlag() const { return reloadCfg_; }
    // A request (true) also lets the next load report again a problem it already reported.
    void setReloadCfgFlag(bool value);

    static std::string systemActionName(TokenEjectActionSystem action);
    static std::string remoteActionName(TokenEjectActionRemote action);
    // The loaded-settings lines, in the order they are logged.
    static std::vector<std::string> summary(const Settings& settings);

private:
    // Logs the reading's notes: a load that takes the file always, one that does not once per
    // request, as it is tried again at every slot event.
    void report(const Reading& reading);
    void take(const Reading& reading);

    const std::string path_;
    mutable std::mutex mutex_;  // guards status_
    Status status_;
    std::atomic<bool> reloadCfg_{true};
    // Counts reload requests, so a problem is reported once per request, not once per event.
    std::atomic<uint64_t> requests_{0};
    uint64_t reportedRequest_ = 0;
    std::string reported_;
};
