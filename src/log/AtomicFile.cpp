#include "log/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

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

int writeAll(int fd, const std::string& content) {
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

// Fills the open temporary file and gives it its final mode and owner. Returns 0 or an errno.
int fillTemporary(int fd, const std::string& content, const struct stat* old, mode_t newMode) {
    // Owner first: a change of owner clears set-id bits that the mode must keep.
    if (old != nullptr && fchown(fd, old->st_uid, old->st_gid) != 0) {
        return errno;
    }
    mode_t mode = old != nullptr ? (old->st_mode & 07777) : newMode;
    if (fchmod(fd, mode) != 0) {
        return errno;
    }
    if (int result = writeAll(fd, content)) {
        return result;
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

}  // namespace

bool AtomicFile::replace(const std::string& path, const std::string& content, mode_t newFileMode,
                         int* error) {
    int result = 0;
    const std::string target = resolveTarget(path, result);
    struct stat old {};
    bool hadFile = false;
    if (result == 0) {
        if (stat(target.c_str(), &old) == 0) {
            hadFile = true;
            if (!S_ISREG(old.st_mode)) {
                result = S_ISDIR(old.st_mode) ? EISDIR : EINVAL;
            }
        } else if (errno != ENOENT) {
            result = errno;
        }
    }
    if (result == 0) {
        // A hidden name, so a reader that lists the directory (PAM, SSSD) does not take the
        // half-made file for a configuration of its own.
        const std::string directory = directoryOf(target);
        std::string name = target.substr(target.rfind('/') + 1);
        std::string temporary = directory + "/." + name + ".XXXXXX";
        std::vector<char> pattern(temporary.begin(), temporary.end());
        pattern.push_back('\0');
        int fd = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) {
            result = errno;
        } else {
            result = fillTemporary(fd, content, hadFile ? &old : nullptr, newFileMode);
            if (close(fd) != 0 && result == 0) {
                result = errno;
            }
            if (result == 0 && rename(pattern.data(), target.c_str()) != 0) {
                result = errno;
            }
            if (result != 0) {
                unlink(pattern.data());
            } else {
                // The rename itself reaches the disk only with its directory.
                int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (directoryFd >= 0) {
                    fsync(directoryFd);
                    close(directoryFd);
                }
            }
        }
    }
    if (error != nullptr) {
        *error = result;
    }
    return result == 0;
}
