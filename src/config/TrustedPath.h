#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

// Whether a file that root acts on can be changed by someone other than root: the file itself, a
// link on the way to it, and every directory on the way (anyone who can write a directory can
// put another file or link in place of the one named). Root's settings must not come from a
// file that a user could have written.
class TrustedPath {
public:
    // Why this file, link or directory (as lstat describes it) is open to change by another than
    // `owner` (root, or in a test the user running it) and root's group; empty when it is not.
    // `name` is the path that the reason names.
    static std::string problem(const std::string& name, const struct stat& status, uid_t owner);

    // Walks the path as open would, following links (at most 40). When the walk reaches the
    // file: why anything on the way is open to change (the first such thing), empty when nothing
    // is. None otherwise, with the errno of the step that failed in `error` (ENOENT or ENOTDIR:
    // nothing is there).
    static std::optional<std::string> check(const std::string& path, int* error = nullptr);
};
