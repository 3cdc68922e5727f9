#include "watch/TicketsWatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>

#include "config/DaemonConfig.h"
#include "log/KxLogger.h"

namespace {

constexpr const char* kTicketsDirectory = "/tmp";
constexpr const char* kTicketPrefix = "krb5cc_";
constexpr const char* kTicketPathPrefix = "/tmp/krb5cc_";

struct DirCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() { close(fd_); }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

TicketsWatcher::TicketsWatcher() {
    timer_.start();
}

void TicketsWatcher::check() {
    DaemonConfig* config = DaemonConfig::instance();
    if (config == nullptr) {
        KxLogger::log(LOG_ERR, "DaemonConfig::instance() пуст!");
        return;
    }
    int interval = config->ticketsCheckIntervalMs();
    if (interval >= 1 && timer_.elapsed() < interval) {
        return;
    }
    // A directory that cannot be read is retried on the next call, not after an interval.
    if (scan()) {
        timer_.start();
    }
}

bool TicketsWatcher::scan() {
    std::vector<std::string> candidates;
    if (!listCandidates(candidates)) {
        return false;
    }
    for (const std::string& path : candidates) {
        repair(path);
    }
    return true;
}

bool TicketsWatcher::listCandidates(std::vector<std::string>& paths) const {
    std::unique_ptr<DIR, DirCloser> directory(opendir(kTicketsDirectory));
    if (!directory) {
        KxLogger::log(LOG_ERR, "Не удалось открыть директорию %s", kTicketsDirectory);
        return false;
    }
    const size_t prefixLength = std::strlen(kTicketPrefix);
    while (const dirent* entry = readdir(directory.get())) {
        if (entry->d_type != DT_REG || std::strncmp(entry->d_name, kTicketPrefix, prefixLength)) {
            continue;
        }
        std::string path = std::string(kTicketsDirectory) + "/" + entry->d_name;
        if (ignored_.count(path) == 0) {
            paths.push_back(std::move(path));
        }
    }
    return true;
}

void TicketsWatcher::repair(const std::string& path) {
    // Anyone can replace the entry between the listing and here. O_NOFOLLOW refuses a link,
    // O_NONBLOCK keeps a FIFO (or a leased file) from stalling the main thread, and every
    // change below goes through this descriptor, so it lands on the file that was checked.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        KxLogger::log(LOG_WARNING, "Failed to get stat for file %s, errno %d.", path.c_str(),
                      errno);
        return;
    }
    FdCloser closer(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        KxLogger::log(LOG_WARNING, "Failed to get stat for file %s, errno %d.", path.c_str(),
                      errno);
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        return;  // no longer the regular file that was listed
    }

    // A prefix test: more characters after the owner's uid still count as the right owner.
    char ownerPrefix[4096];
    std::snprintf(ownerPrefix, sizeof(ownerPrefix), "%s%u", kTicketPathPrefix,
                  static_cast<unsigned>(status.st_uid));
    if (startsWith(path, ownerPrefix)) {
        return;
    }

    static const std::regex uidRegExp(std::string(kTicketPathPrefix) + "(\\d+)");
    std::smatch match;
    if (!std::regex_search(path, match, uidRegExp)) {
        KxLogger::log(LOG_WARNING,
                      "Found ticket cache file '%s' with wrong permissions. But can not determine "
                      "uid from file path. This file will be ignore.",
                      path.c_str());
        ignored_.insert(path);
        return;
    }
    const std::string uidText = match[1].str();
    KxLogger::log(LOG_DEBUG,
                  "Found ticket cache file '%s' with wrong permissions. Current owner uid is '%d' "
                  "but should be '%s'.",
                  path.c_str(), static_cast<int>(status.st_uid), uidText.c_str());

    // A cache named for root is never handed out.
    int uid = std::atoi(uidText.c_str());
    if (uid == 0) {
        KxLogger::log(LOG_WARNING, "Failed to get valid uid from '%s'. This file will be ignore.",
                      uidText.c_str());
        ignored_.insert(path);
        return;
    }

    // A second name for the same inode may be a hard link to a file the user does not own
    // (a root-owned file linked into /tmp on the same file system): never hand that out.
    if (status.st_nlink != 1) {
        KxLogger::log(LOG_WARNING,
                      "Ticket cache file '%s' has %d hard links and may be another file. This "
                      "file will be ignore.",
                      path.c_str(), static_cast<int>(status.st_nlink));
        ignored_.insert(path);
        return;
    }

    if (fchmod(fd, S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP) != 0) {
        KxLogger::log(LOG_WARNING, "Failed to change permissions of file '%s' to '660'. errno %d.",
                      path.c_str(), errno);
    }
    int gid = static_cast<int>(status.st_gid);
    if (fchown(fd, static_cast<uid_t>(uid), status.st_gid) != 0) {
        KxLogger::log(LOG_WARNING,
                      "Failed to change owner of file '%s' to uid %d, gid %d. errno %d.",
                      path.c_str(), uid, gid, errno);
    } else {
        KxLogger::log(LOG_INFO, "Owner of file '%s' is changed to uid %d, gid %d", path.c_str(),
                      uid, gid);
    }
}
