#include "base/AtomicFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

// A change of owner drops it, so it is given only after the new owner.
const std::string kCapabilities = "security.capability";
// Tries to put a file in place at a path where entries come and go.
constexpr int kPutAttempts = 4;

// The file that a write to `path` would change: the final target of a symbolic link, or the
// path itself when nothing exists there yet. Empty, with `error` set, for a dangling link or an
// unreadable path.
std::string resolveTarget(const std::string& path, int& error) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    error = errno;
    struct stat status {};
    if (error == ENOENT && lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
        error = 0;
        return path;
    }
    return {};
}

}  // namespace

int AtomicFile::writeAll(int fd, const std::string& content) {
    size_t written = 0;
    while (written < content.size()) {
        ssize_t count = write(fd, content.data() + written, content.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errno;
        }
        written += static_cast<size_t>(count);
    }
    return 0;
}

namespace {

// The names (or, with `name`, the value) of the extended attributes of the open file; the
// size is asked first and asked again when the list grew in between. Returns 0 or an errno.
int readAttributes(int fd, const std::string* name, std::vector<char>& data) {
    for (;;) {
        ssize_t size =
            name != nullptr ? fgetxattr(fd, name->c_str(), nullptr, 0) : flistxattr(fd, nullptr, 0);
        if (size >= 0) {
            data.resize(static_cast<size_t>(size));
            size = name != nullptr ? fgetxattr(fd, name->c_str(), data.data(), data.size())
                                   : flistxattr(fd, data.data(), data.size());
        }
        if (size >= 0) {
            data.resize(static_cast<size_t>(size));
            return 0;
        }
        if (name == nullptr && errno == ENOTSUP) {
            data.clear();  // a file system without extended attributes: the file has none
            return 0;
        }
        if (errno != ERANGE) {
            return errno;
        }
    }
}

int attributeNames(int fd, std::vector<std::string>& names) {
    std::vector<char> list;
    int result = readAttributes(fd, nullptr, list);
    for (size_t at = 0; result == 0 && at < list.size();) {
        names.emplace_back(list.data() + at);
        at += names.back().size() + 1;
    }
    return result;
}

// Gives the temporary file the extended attributes of the old one, no more and no fewer: its
// ACL (system.posix_acl_access), SELinux label and the like. Returns 0 or an errno.
int copyAttributes(int from, int to, bool capabilities) {
    std::vector<std::string> wanted, present;
    if (int result = attributeNames(from, wanted)) {
        return result;
    }
    if (int result = attributeNames(to, present)) {
        return result;
    }
    for (const std::string& name : present) {
        // One the new file got from its directory (a default ACL) that the old one did not have.
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            fremovexattr(to, name.c_str()) != 0) {
            return errno;
        }
    }
    for (const std::string& name : wanted) {
        if ((name == kCapabilities) != capabilities) {
            continue;
        }
        std::vector<char> value, current;
        if (int result = readAttributes(from, &name, value)) {
            return result;
        }
        // Set only where it differs: a label the new file already has needs no permission to
        // relabel.
        if (readAttributes(to, &name, current) == 0 && current == value) {
            continue;
        }
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
            return errno;
        }
    }
    return 0;
}

// Fills the open temporary file and gives it its final attributes, mode and owner (those of
// the old file, open as `old`, when there is one). Returns 0 or an errno.
int fillTemporary(int fd, const std::string& content, int old, const struct stat& status,
                  mode_t newMode) {
    // Content first: a write drops file capabilities. Attributes while the file is still ours,
    // so no permission of its owner is needed.
    if (int result = AtomicFile::writeAll(fd, content)) {
        return result;
    }
    if (old >= 0) {
        if (int result = copyAttributes(old, fd, false)) {
            return result;
        }
        // Owner before mode: a change of owner clears set-id bits that the mode must keep.
        if (fchown(fd, status.st_uid, status.st_gid) != 0) {
            return errno;
        }
        if (int result = copyAttributes(old, fd, true)) {
            return result;
        }
    }
    if (fchmod(fd, old >= 0 ? (status.st_mode & 07777) : newMode) != 0) {
        return errno;
    }
    return fsync(fd) == 0 ? 0 : errno;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Opens the file to be replaced, when there is one (-1 and 0 otherwise). Returns 0 or an errno.
int openOld(const std::string& target, int& fd, struct stat& status) {
    fd = -1;
    if (stat(target.c_str(), &status) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    // Not opened unless it is a regular file: opening a device may do something.
    if (!S_ISREG(status.st_mode)) {
        return S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    }
    fd = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    // Its other names would keep the old content, and a change of one of them go unnoticed.
    return status.st_nlink > 1 ? EMLINK : 0;
}

// A new empty file under a random hidden name beside the target (O_EXCL: never an entry that
// was there), its name in `pattern`; -1 with errno set when none could be made. Hidden, so a
// reader that lists the directory (PAM, SSSD) does not take the half-made file for one of its own.
int createTemporary(const std::string& target, std::vector<char>& pattern) {
    const std::string temporary =
        directoryOf(target) + "/." + target.substr(target.rfind('/') + 1) + ".XXXXXX";
    pattern.assign(temporary.begin(), temporary.end());
    pattern.push_back('\0');
    return mkostemp(pattern.data(), O_CLOEXEC);
}

// The rename reaches the disk only with its directory.
void syncDirectoryOf(const std::string& target) {
    int directoryFd = open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        fsync(directoryFd);
        close(directoryFd);
    }
}

// Writes the temporary file and renames it over the target. Returns 0 or an errno.
int replaceWith(const std::string& target, const std::string& content, int old,
                const struct stat& status, mode_t newMode) {
    std::vector<char> pattern;
    int fd = createTemporary(target, pattern);
    if (fd < 0) {
        return errno;
    }
    int result = fillTemporary(fd, content, old, status, newMode);
    if (close(fd) != 0 && result == 0) {
        result = errno;
    }
    if (result == 0 && rename(pattern.data(), target.c_str()) != 0) {
        result = errno;
    }
    if (result != 0) {
        unlink(pattern.data());
        return result;
    }
    syncDirectoryOf(target);
    return 0;
}

// A name beside `path` that no one holds yet, for an entry moved out of the way.
std::string asideName(const std::string& path) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof(random), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(random))) {
        random = std::random_device()();
    }
    char suffix[24];
    std::snprintf(suffix, sizeof(suffix), ".%016llx", static_cast<unsigned long long>(random));
    return path + suffix;
}

// Moves the new file from `temporary` to `path`: swapped with the entry there, or put where none
// is. 1 when swapped (the old entry is at `temporary` now), 0 when put, else minus an errno.
int swapIntoPlace(const char* temporary, const std::string& path) {
    for (int attempt = 0; attempt < kPutAttempts; ++attempt) {
        if (renameat2(AT_FDCWD, temporary, AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
            return 1;
        }
        if (errno == EINVAL) {
            // A file system that cannot swap: a directory there cannot be replaced.
            return rename(temporary, path.c_str()) == 0 ? 0 : -errno;
        }
        if (errno != ENOENT) {
            return -errno;
        }
        if (renameat2(AT_FDCWD, temporary, AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return -errno;
        }
    }
    return -EEXIST;  // something kept coming and going there
}

// The entry that stood at the path, now at `temporary`: removed when it is the process's own
// file, else moved aside. The name it was moved to, or empty.
std::string clearAway(const char* temporary, const std::string& path) {
    struct stat status {};
    if (lstat(temporary, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
        status.st_nlink == 1) {
        // Nobody else can have put another file under that name of the process's file.
        unlink(temporary);
        return {};
    }
    std::string aside = asideName(path);
    if (renameat2(AT_FDCWD, temporary, AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0) {
        return {};  // its owner took it away meanwhile
    }
    return aside;
}

}  // namespace

bool AtomicFile::put(const std::string& path, mode_t mode, const std::function<int(int)>& fill,
                     std::string* aside, int* error) {
    if (aside != nullptr) {
        aside->clear();
    }
    std::vector<char> pattern;
    int fd = createTemporary(path, pattern);
    int result = fd < 0 ? errno : fill(fd);
    if (fd >= 0 && result == 0 && fchmod(fd, mode) != 0) {
        result = errno;
    }
    if (fd >= 0 && result == 0 && fsync(fd) != 0) {
        result = errno;
    }
    if (fd >= 0 && close(fd) != 0 && result == 0) {
        result = errno;
    }
    if (result == 0) {
        const int placed = swapIntoPlace(pattern.data(), path);
        result = placed < 0 ? -placed : 0;
        if (placed == 1) {
            std::string moved = clearAway(pattern.data(), path);
            if (aside != nullptr) {
                *aside = std::move(moved);
            }
        }
    }
    if (result != 0 && fd >= 0) {
        unlink(pattern.data());
    } else if (result == 0) {
        syncDirectoryOf(path);
    }
    if (error != nullptr) {
        *error = result;
    }
    return result == 0;
}

bool AtomicFile::replace(const std::string& path, const std::string& content, mode_t newFileMode,
                         int* error) {
    int result = 0;
    const std::string target = resolveTarget(path, result);
    int old = -1;
    struct stat status {};
    if (result == 0) {
        result = openOld(target, old, status);
    }
    if (result == 0) {
        result = replaceWith(target, content, old, status, newFileMode);
    }
    if (old >= 0) {
        close(old);
    }
    if (error != nullptr) {
        *error = result;
    }
    return result == 0;
}
