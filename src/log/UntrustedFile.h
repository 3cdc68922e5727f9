#pragma once

#include <cstddef>
#include <string>

// Reads a file that someone other than root may have put in place: a user's home, /tmp, /proc,
// or a configuration path that may be replaced by anything. It never blocks in open (a FIFO),
// accepts only regular files (not a directory or a device such as /dev/zero) and reads at most a
// bound, so whatever sits at the path cannot stall or exhaust the daemon.
class UntrustedFile {
public:
    static constexpr size_t kDefaultLimit = 1024 * 1024;

    // True with the file's content in `content`, cut after `limit` bytes (the rest is not read).
    // False when the path is not a readable regular file; `error` then holds the open or read
    // errno, EISDIR for a directory or EINVAL for any other kind of file, and `content` is empty.
    static bool read(const std::string& path, std::string& content,
                     size_t limit = kDefaultLimit, int* error = nullptr);
};
