#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Reads a file that someone other than root may have put in place: a user's home, /tmp, /proc,
// or a configuration path that may be replaced by anything. It opens nothing but a regular file
// (a device or a FIFO at the path is never opened, so no driver or writer notices the daemon),
// never blocks and reads at most a bound, so whatever sits at the path cannot stall or exhaust
// the daemon.
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
    // The same with the account's rights instead of root's, for a file a user names (a link in
    // their home): what the user could not open, the daemon does not open either. EPERM when
    // the rights could not be taken on.
    static bool readAs(const Rights& rights, const std::string& path, std::string& content,
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
