#include "watch/TicketsScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Common.h"
#include "base/Directory.h"
#include "log/KxLogger.h"
#include "watch/BaseFd.h"

namespace {

constexpr const char* kTicketsDirectory = "/tmp";
// A scan that forgot this many names gives their memory back to the system.
constexpr size_t kTrimAfterForgetting = 10000;

using Action = TicketRules::Action;

std::string printablePath(const std::string& name) {
    return Common::printable(std::string(kTicketsDirectory) + "/" + name);
}

void logWrongOwner(const std::string& path, uid_t owner, const std::string& uidText) {
    KxLogger::log(LOG_DEBUG,
                  "Found ticket cache file '%s' with wrong permissions. Current owner uid is '%d' "
                  "but should be '%s'.",
                  path.c_str(), static_cast<int>(owner), uidText.c_str());
}

// Names that can never be handed over, whatever file carries them.
bool ignoredByName(Action action) {
    return action == Action::NoUid || action == Action::InvalidUid;
}

}  // namespace

bool TicketsScanner::scan(const std::atomic<bool>& stop) {
    Directory directory(opendir(kTicketsDirectory));
    if (!directory) {
        KxLogger::log(LOG_ERR, "Не удалось открыть директорию %s", kTicketsDirectory);
        return false;
    }
    const size_t prefixLength = std::strlen(TicketRules::kPrefix);
    Remarks present;
    while (const dirent* entry = readdir(directory.get())) {
        if (stop) {
            return true;  // the remarks stay as they were: part of /tmp was not seen
        }
        if (entry->d_type == DT_REG &&
            std::strncmp(entry->d_name, TicketRules::kPrefix, prefixLength) == 0) {
            visit(dirfd(directory.get()), entry->d_name, present);
        }
    }
    bool forgotMany = remarks_.size() >= present.size() + kTrimAfterForgetting;
    remarks_.swap(present);
    KxLogger::summariseHeldBack();
    if (forgotMany) {
        present = Remarks();
        malloc_trim(0);  // names a user created and deleted in bulk must not keep their memory
    }
    return true;
}

void TicketsScanner::visit(int directory, const char* entryName, Remarks& present) {
    std::string name(entryName);
    auto known = remarks_.find(name);
    if (known != remarks_.end() && ignoredByName(known->second.action)) {
        present.insert(*known);
        return;
    }
    struct stat status {};
    if (fstatat(directory, entryName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        // Mostly a name deleted since the listing: a user can have that at will.
        int error = errno;
        KxLogger::logFrom(KxLogger::kUnknownUser, LOG_WARNING,
                          "Failed to get stat for file %s, errno %d.", printablePath(name).c_str(),
                          error);
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        return;
    }
    TicketRules::Verdict verdict = TicketRules::judge(name, status.st_uid, status.st_nlink);
    if (verdict.action == Action::Keep) {
        return;
    }
    if (verdict.action == Action::HandOver) {
        handOver(directory, name, status, verdict.uid);
        return;
    }
    bool said = known != remarks_.end() && known->second.inode == status.st_ino &&
                known->second.action == verdict.action;
    if (!said) {
        report(printablePath(name), status, verdict);
    }
    present[name] = Remark{status.st_ino, verdict.action};
}

void TicketsScanner::report(const std::string& path, const struct stat& status,
                            const TicketRules::Verdict& verdict) {
    // Every name a user makes can bring one or two records: what a user's names say is
    // limited per owner, the rest summarised.
    if (!KxLogger::admit(status.st_uid, verdict.action == Action::NoUid ? 1 : 2)) {
        return;
    }
    if (verdict.action == Action::NoUid) {
        KxLogger::log(LOG_WARNING,
                      "Found ticket cache file '%s' with wrong permissions. But can not determine "
                      "uid from file path. This file will be ignore.",
                      path.c_str());
        return;
    }
    logWrongOwner(path, status.st_uid, verdict.uidText);
    switch (verdict.action) {
        case Action::InvalidUid:
            KxLogger::log(LOG_WARNING,
                          "Failed to get valid uid from '%s'. This file will be ignore.",
                          verdict.uidText.c_str());
            break;
        case Action::NotRoots:
            KxLogger::log(LOG_WARNING,
                          "Ticket cache file '%s' belongs to uid %u, not to root. It is not handed "
                          "over.",
                          path.c_str(), static_cast<unsigned>(status.st_uid));
            break;
        case Action::Linked:
            KxLogger::log(LOG_WARNING,
                          "Ticket cache file '%s' has %u hard links and may be another file. It is "
                          "not handed over while it has more than one.",
                          path.c_str(), static_cast<unsigned>(status.st_nlink));
            break;
        default:
            break;
    }
}

void TicketsScanner::handOver(int directory, const std::string& name, const struct stat& seen,
                              uid_t uid) {
    const std::string path = printablePath(name);
    logWrongOwner(path, seen.st_uid, std::to_string(uid));
    // Anyone can replace the entry after it was judged. O_NOFOLLOW refuses a link,
    // O_NONBLOCK keeps a FIFO (or a leased file) from stalling the scan, and every change
    // below goes through this descriptor, so it lands on the file that is checked here.
    BaseFd file(
        openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (file.get() == 0 || fstat(file.get(), &status) != 0) {
        KxLogger::log(LOG_WARNING, "Failed to get stat for file %s, errno %d.", path.c_str(),
                      errno);
        return;
    }
    bool sameFile = status.st_dev == seen.st_dev && status.st_ino == seen.st_ino;
    if (!sameFile ||
        TicketRules::judge(name, status.st_uid, status.st_nlink).action != Action::HandOver) {
        return;  // the next scan judges what is there now
    }
    if (fchmod(file.get(), S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP) != 0) {
        KxLogger::log(LOG_WARNING, "Failed to change permissions of file '%s' to '660'. errno %d.",
                      path.c_str(), errno);
    }
    int gid = static_cast<int>(status.st_gid);
    if (fchown(file.get(), uid, status.st_gid) != 0) {
        KxLogger::log(LOG_WARNING,
                      "Failed to change owner of file '%s' to uid %u, gid %d. errno %d.",
                      path.c_str(), static_cast<unsigned>(uid), gid, errno);
    } else {
        KxLogger::log(LOG_INFO, "Owner of file '%s' is changed to uid %u, gid %d", path.c_str(),
                      static_cast<unsigned>(uid), gid);
    }
}
