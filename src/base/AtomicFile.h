#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

// Replaces a file's content so that a reader (PAM, SSSD, the token library) sees either the old
// content or the new one, never an empty or half-written file, even after a crash or a full disk.
class AtomicFile {
public:
    // Writes `content` to a temporary file beside the target, flushes it to disk, gives it the
    // mode, owner and extended attributes (ACL, SELinux label, user.* and the like) of the file
    // it replaces (`newFileMode` and root when there was none) and renames it over the target.
    // A symbolic link is followed: its target is replaced and the link stays a link. A file
    // with other hard links is refused (EMLINK): the rename would leave them the old content,
    // and writing in place is not atomic; a symbolic link is the way to share such a file.
    // Attributes the process may not see (trusted.* without CAP_SYS_ADMIN) are not kept; one
    // it may not set fails the replacement. False on any failure, with the errno in `error`;
    // the old file is then untouched and no temporary file is left behind.
    static bool replace(const std::string& path, const std::string& content,
                        mode_t newFileMode = 0644, int* error = nullptr);

    // For a directory anyone may write to (/tmp): puts a new file of `mode`, the process's, whose
    // content `fill` writes (given the descriptor; it returns 0 or an errno), at `path` in place
    // of whatever stands there, which is never followed or opened. The file is made under a
    // random hidden name beside the path (O_EXCL) and swapped into place in one step with the
    // entry there, be it a file, a link or a directory. That entry is then removed when it is
    // the process's own file, else moved aside to `path`.XXXXXXXXXXXXXXXX, named in `aside`
    // (empty when nothing was moved). An entry that comes and goes between the steps makes it
    // try again, a few times. False on any failure, with the errno in `error`; no temporary
    // file is left behind.
    static bool put(const std::string& path, mode_t mode, const std::function<int(int)>& fill,
                    std::string* aside = nullptr, int* error = nullptr);

    // Writes all of `content` to `fd`; 0 or an errno.
    static int writeAll(int fd, const std::string& content);
};
