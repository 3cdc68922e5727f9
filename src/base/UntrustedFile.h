#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Reads a file that someone other than root may have put in place: a user's home, /tmp, /proc,
// or a configuration path that may be replaced by anything. It opens nothing but a regular file
// (a device or a FIFO at the path is never opened, so no driver or writer notices the daemon),
// never blocks (a user's file is waited for no longer than a time bound) and reads at most a
// size bound, so whatever sits at the path cannot stall or exhaust the daemon.
class UntrustedFile {
public:
    static constexpr size_t kDefaultLimit = 1024 * 1024;

    // Whose rights a read is made with: an account's uid, primary and supplementary groups.
    struct Rights {
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
    };

    // True with the file's content in `content`, cut after `limit` bytes (the rest is not read).
    // False when the path is not a readable regular file; `error` then holds the open or read
    // errno, EISDIR for a directory or EINVAL for any other kind of file, and `content` is empty.
    static bool read(const std::string& path, std::string& content, size_t limit = kDefaultLimit,
                     int* error = nullptr);
    // How a read of a file a user names ended.
    enum class Outcome {
        Read,            // `content` holds the file, cut after the limit
        FileFailed,      // what is at the path could not be read: the user's doing
        TimedOut,        // the file system did not answer within kUserReadBoundMs: hers too
        RightsNotTaken,  // the daemon could not take the user's rights (setgroups, setfsuid)
        DaemonFailed,    // the daemon had no descriptor, memory or thread left for the read
    };
    // Generous for a small file in a network home; a file system that hangs (a user's FUSE
    // mount, a dead server) holds the read no longer.
    static constexpr int kUserReadBoundMs = 1000;

    // The same as read() with the account's rights instead of root's, for a file a user names
    // (a link in their home): what the user could not open, the daemon does not open either.
    // Nor does it read a file of the kernel's pseudo file systems (/proc, /sys and the like),
    // whose reads answer for the reader, not for the file. `error` holds the errno of the
    // failure (EINVAL for such a file, ETIMEDOUT for a read past its bound).
    static Outcome readAs(const Rights& rights, const std::string& path, std::string& content,
                          size_t limit = kDefaultLimit, int* error = nullptr);
    // A file the kernel makes in a process's /proc directory ("comm", "stat", "cmdline"), read
    // below `processDirectory`, a descriptor of /proc/PID. Such files are regular by
    // construction and nobody can put anything else there, so the file is opened at once and
    // read in one call: three system calls instead of seven, for walks over every process.
    // Everything read below one such descriptor is that process's: once it is reaped the reads
    // fail, whoever gets its pid.
    static bool readProcessFile(int processDirectory, const char* name, std::string& content,
                                size_t limit);
    // The rights of the account with this uid, from the user and group database.
    static std::optional<Rights> rightsOf(uid_t uid);
};
