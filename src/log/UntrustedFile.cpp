#include "log/UntrustedFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "log/AccountLookup.h"

namespace {

// The 32-bit id calls where the architecture still has 16-bit ones beside them.
#ifdef SYS_setfsuid32
constexpr long kSetFsUid = SYS_setfsuid32, kSetFsGid = SYS_setfsgid32, kSetGroups = SYS_setgroups32;
#else
constexpr long kSetFsUid = SYS_setfsuid, kSetFsGid = SYS_setfsgid, kSetGroups = SYS_setgroups;
#endif

// The calling thread's file-system identity switched to an account's while the object lives.
// Only the thread's own: the main thread (session matching) and the D-Bus thread (fingerprint
// query) read users' files at the same time, and the other threads must keep root's rights.
// So raw system calls, never glibc's setgroups(), which changes every thread of the process.
// A switch costs a few system calls; a child process that drops to the user would cost a fork
// per file on the removal path, where one file is read for each session.
class ThreadFsIdentity {
public:
    explicit ThreadFsIdentity(const UntrustedFile::Rights& rights)
        : uid_(static_cast<uid_t>(syscall(kSetFsUid, -1))),
          gid_(static_cast<gid_t>(syscall(kSetFsGid, -1))) {
        int count = getgroups(0, nullptr);
        groups_.resize(static_cast<size_t>(std::max(count, 0)));
        if (count < 0 || getgroups(count, groups_.data()) != count) {
            return;  // what to restore is not known: nothing is switched
        }
        saved_ = true;
        // The groups first, and the uid last: leaving uid 0 drops the capabilities that bypass
        // file permissions, and setfsuid() and setfsgid() answer only the previous id, so each
        // switch is read back.
        switched_ = syscall(kSetGroups, rights.groups.size(), rights.groups.data()) == 0;
        switched_ = switched_ && switchId(kSetFsGid, rights.gid) && switchId(kSetFsUid, rights.uid);
    }
    ~ThreadFsIdentity() {
        if (!saved_) {
            return;
        }
        // Back to uid 0 first, which gives the thread its file capabilities again.
        syscall(kSetFsUid, uid_);
        syscall(kSetFsGid, gid_);
        syscall(kSetGroups, groups_.size(), groups_.data());
    }
    ThreadFsIdentity(const ThreadFsIdentity&) = delete;
    ThreadFsIdentity& operator=(const ThreadFsIdentity&) = delete;

    bool switched() const { return switched_; }

private:
    static bool switchId(long call, unsigned id) {
        syscall(call, id);
        return static_cast<unsigned>(syscall(call, -1)) == id;
    }

    uid_t uid_;
    gid_t gid_;
    std::vector<gid_t> groups_;
    bool saved_ = false;
    bool switched_ = false;
};

// Opens the regular file at `path` for reading into `fd`; returns 0 or an errno value. The path
// is first taken by O_PATH, which opens neither a device (whose driver would act on the open)
// nor a FIFO (whose blocked writer an open would release), and only a regular file is then
// opened for reading, through its descriptor so that the path cannot be swapped in between.
int openRegular(const std::string& path, int& fd) {
    const int located = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (located < 0) {
        return errno;
    }
    int result = 0;
    struct stat status {};
    if (fstat(located, &status) != 0) {
        result = errno;
    } else if (!S_ISREG(status.st_mode)) {
        result = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    } else {
        char link[32];
        std::snprintf(link, sizeof(link), "/proc/self/fd/%d", located);
        // O_NONBLOCK: a leased file would otherwise hold the read until the lease is broken.
        fd = open(link, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        result = fd < 0 ? errno : 0;
    }
    close(located);
    return result;
}

// Reads the open descriptor; the caller closes it. Returns 0 or an errno value.
int readOpenFile(int fd, std::string& content, size_t limit) {
    char buffer[64 * 1024];
    while (content.size() < limit) {
        size_t wanted = std::min(sizeof(buffer), limit - content.size());
        ssize_t count = ::read(fd, buffer, wanted);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errno;
        }
        if (count == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(count));
    }
    return 0;
}

bool finish(int fd, int result, std::string& content, size_t limit, int* error) {
    if (result == 0) {
        result = readOpenFile(fd, content, limit);
    }
    if (fd >= 0) {
        close(fd);
    }
    if (result != 0) {
        content.clear();
    }
    if (error != nullptr) {
        *error = result;
    }
    return result == 0;
}

}  // namespace

bool UntrustedFile::read(const std::string& path, std::string& content, size_t limit, int* error) {
    content.clear();
    int fd = -1;
    const int result = openRegular(path, fd);
    return finish(fd, result, content, limit, error);
}

bool UntrustedFile::readAs(const Rights& rights, const std::string& path, std::string& content,
                           size_t limit, int* error) {
    content.clear();
    int fd = -1;
    int result = EPERM;
    {
        // Only the open needs the user's rights; nothing else happens under them.
        ThreadFsIdentity identity(rights);
        if (identity.switched()) {
            result = openRegular(path, fd);
        }
    }
    return finish(fd, result, content, limit, error);
}

bool UntrustedFile::readProcessFile(int processDirectory, const char* name, std::string& content,
                                    size_t limit) {
    content.clear();
    const int fd = openat(processDirectory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // One read: these files hand out all they hold up to the count asked at once, so a short
    // read is their end and no second call is needed to see it.
    content.resize(limit);
    ssize_t count;
    do {
        count = ::read(fd, &content[0], limit);
    } while (count < 0 && errno == EINTR);
    close(fd);
    content.resize(count < 0 ? 0 : static_cast<size_t>(count));
    return count >= 0;
}

std::optional<UntrustedFile::Rights> UntrustedFile::rightsOf(uid_t uid) {
    passwd entry{};
    std::vector<char> buffer;
    Rights rights;
    if (!lookUpAccount(uid, entry, buffer, getpwuid_r) || entry.pw_name == nullptr ||
        !accountGroupIds(entry.pw_name, entry.pw_gid, rights.groups)) {
        return std::nullopt;
    }
    rights.uid = entry.pw_uid;
    rights.gid = entry.pw_gid;
    return rights;
}
