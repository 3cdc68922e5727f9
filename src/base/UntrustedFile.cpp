#include "base/UntrustedFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "base/AccountLookup.h"

namespace {

// The 32-bit id calls where the architecture still has 16-bit ones beside them.
#ifdef SYS_setfsuid32
constexpr long kSetFsUid = SYS_setfsuid32, kSetFsGid = SYS_setfsgid32, kSetGroups = SYS_setgroups32;
#else
constexpr long kSetFsUid = SYS_setfsuid, kSetFsGid = SYS_setfsgid, kSetGroups = SYS_setgroups;
#endif

// Takes an account's file-system identity for the calling thread, which must be a thread of its
// own: the other threads must keep root's rights, so raw system calls, never glibc's
// setgroups(), which changes every thread of the process. A thread costs less than a child
// process that drops to the user, and one per file also bounds the read in time.
bool takeRights(const UntrustedFile::Rights& rights) {
    const auto switchId = [](long call, unsigned id) {
        syscall(call, id);
        // setfsuid() and setfsgid() answer only the previous id: each switch is read back.
        return static_cast<unsigned>(syscall(call, -1)) == id;
    };
    // The groups first, and the uid last: leaving uid 0 drops the capabilities that bypass file
    // permissions.
    return syscall(kSetGroups, rights.groups.size(), rights.groups.data()) == 0 &&
           switchId(kSetFsGid, rights.gid) && switchId(kSetFsUid, rights.uid);
}

// Magic numbers (statfs's f_type) of the kernel's pseudo file systems, whose files answer for
// the process that reads them (its capabilities, its memory) or act when read. devtmpfs is a
// tmpfs to statfs, as are users' tmpfs homes, and holds no regular file of its own.
constexpr unsigned long kPseudoFileSystems[] = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x62656570,  // configfs
    0x27e0eb,    // cgroup
    0x63677270,  // cgroup2
    0xcafe4a11,  // bpf
    0xde5e81e4,  // efivarfs
};

bool onPseudoFileSystem(int fd) {
    struct statfs fileSystem {};
    if (fstatfs(fd, &fileSystem) != 0) {
        return false;  // then fstat() fails as well, with the reason
    }
    const auto type = static_cast<unsigned long>(fileSystem.f_type);
    return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), type) !=
           std::end(kPseudoFileSystems);
}

// Opens the regular file at `path` for reading into `fd`; returns 0 or an errno value. The path
// is first taken by O_PATH, which opens neither a device (whose driver would act on the open)
// nor a FIFO (whose blocked writer an open would release), and only a regular file is then
// opened for reading, through its descriptor so that the path cannot be swapped in between.
int openRegular(const std::string& path, int& fd, bool refusePseudo = false) {
    const int located = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (located < 0) {
        return errno;
    }
    int result = 0;
    struct stat status {};
    if (fstat(located, &status) != 0) {
        result = errno;
    } else if (refusePseudo && onPseudoFileSystem(located)) {
        result = EINVAL;
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

namespace {

// One read of a user's file on a thread of its own, shared with the caller, who may stop
// waiting for it.
struct UserRead {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
    UntrustedFile::Outcome outcome = UntrustedFile::Outcome::DaemonFailed;
    int error = 0;
    std::string content;
};

// The paths whose read still waits for a file system that does not answer, each holding a
// thread. A path is not read again meanwhile (it would only wait behind the first), so a user
// holds one thread at most; past this many, no read is started and the daemon reports its own
// failure.
class StuckReads {
public:
    static constexpr size_t kMax = 8;

    enum class Admission { Start, StillStuck, Full };
    static Admission admit(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_.count(path) != 0 ? Admission::StillStuck
               : paths_.size() >= kMax ? Admission::Full
                                       : Admission::Start;
    }
    static void add(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.insert(path);
    }
    static void remove(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.erase(path);
    }

private:
    static std::mutex mutex_;
    static std::set<std::string> paths_;
};
std::mutex StuckReads::mutex_;
std::set<std::string> StuckReads::paths_;

bool isResourceError(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

void readAsUser(UserRead& read, const UntrustedFile::Rights& rights, const std::string& path,
                size_t limit) {
    using Outcome = UntrustedFile::Outcome;
    if (!takeRights(rights)) {
        read.outcome = Outcome::RightsNotTaken;
        read.error = errno != 0 ? errno : EPERM;
        return;
    }
    int fd = -1;
    int result = openRegular(path, fd, true);
    if (result == 0) {
        result = readOpenFile(fd, read.content, limit);
        close(fd);
    }
    read.error = result;
    read.outcome = result == 0 ? Outcome::Read : Outcome::FileFailed;
    if (isResourceError(result)) {
        // What a file system answers is the user's to choose (a FUSE mount answers any errno):
        // the daemon's own lack shows in an open of its own.
        const int probe = open("/", O_PATH | O_CLOEXEC);
        if (probe < 0) {
            read.outcome = Outcome::DaemonFailed;
        } else {
            close(probe);
        }
    }
}

void runUserRead(const std::shared_ptr<UserRead>& read, const UntrustedFile::Rights& rights,
                 const std::string& path, size_t limit) {
    try {
        readAsUser(*read, rights, path, limit);
    } catch (const std::bad_alloc&) {
        read->outcome = UntrustedFile::Outcome::DaemonFailed;
        read->error = ENOMEM;
    }
    if (read->outcome != UntrustedFile::Outcome::Read) {
        read->content.clear();
    }
    std::lock_guard<std::mutex> lock(read->mutex);
    read->done = true;
    if (read->abandoned) {
        StuckReads::remove(path);
    }
    read->ended.notify_all();
}

}  // namespace

UntrustedFile::Outcome UntrustedFile::readAs(const Rights& rights, const std::string& path,
                                             std::string& content, size_t limit, int* error) {
    content.clear();
    int failure = EAGAIN;
    Outcome outcome = Outcome::DaemonFailed;
    try {
        auto read = std::make_shared<UserRead>();
        const StuckReads::Admission admission = StuckReads::admit(path);
        if (admission == StuckReads::Admission::StillStuck) {
            outcome = Outcome::TimedOut;
            failure = ETIMEDOUT;
        } else if (admission == StuckReads::Admission::Start) {
            std::thread(runUserRead, read, rights, path, limit).detach();
            std::unique_lock<std::mutex> lock(read->mutex);
            if (read->ended.wait_for(lock, std::chrono::milliseconds(kUserReadBoundMs),
                                     [&read] { return read->done; })) {
                outcome = read->outcome;
                failure = read->error;
                content.swap(read->content);
            } else {
                read->abandoned = true;
                StuckReads::add(path);
                outcome = Outcome::TimedOut;
                failure = ETIMEDOUT;
            }
        }
    } catch (const std::system_error& threadFailure) {
        failure = threadFailure.code().value();
    } catch (const std::bad_alloc&) {
        failure = ENOMEM;
    }
    if (error != nullptr) {
        *error = outcome == Outcome::Read ? 0 : failure;
    }
    return outcome;
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
