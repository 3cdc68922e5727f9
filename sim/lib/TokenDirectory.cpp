#include "TokenDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

namespace kxsim {

namespace {

constexpr uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

void makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0755);
}

std::optional<TokenEntry> parseFile(const std::string& dir, const std::string& name,
                                    std::string& content) {
    std::string error;
    auto text = readWholeFile(dir + "/" + name, error);
    if (!text) {
        return std::nullopt;
    }
    content = *text;
    return parseEntry(content, dir, error);
}

}  // namespace

TokenDirectory::TokenDirectory(std::string path) : path_(std::move(path)) {}

TokenDirectory::~TokenDirectory() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TokenDirectory::open(std::vector<DirectoryChange>& changes) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    makeDirectories(path_);
    startWatch(changes);
    return true;
}

void TokenDirectory::poll(std::vector<DirectoryChange>& changes) {
    if (wd_ < 0) {
        // The directory is missing; it counts as empty until it comes back.
        startWatch(changes);
        return;
    }
    alignas(struct inotify_event) char buffer[4096];
    bool overflow = false;
    bool lost = false;
    for (;;) {
        ssize_t size = ::read(fd_, buffer, sizeof buffer);
        if (size <= 0) {
            break;  // EAGAIN: nothing more to read
        }
        for (ssize_t offset = 0; offset < size;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                overflow = true;
            }
            if (event->wd == wd_ && (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
                lost = true;
            }
            if (event->len == 0 || event->wd != wd_ || lost) {
                continue;
            }
            std::string name = event->name;
            auto slot = slotFromEntryName(name);
            if (!slot) {
                continue;  // hidden, temporary or foreign file
            }
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                unread_.erase(*slot);
                dropEntry(*slot, changes);
            }
            if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                unread_[*slot] = name;
            }
        }
    }
    if (lost) {
        stopWatch(changes);
        startWatch(changes);
    } else if (overflow) {
        rescan(changes);
    }
}

bool TokenDirectory::read(std::vector<DirectoryChange>& changes, std::optional<CK_SLOT_ID> slot) {
    auto next = slot ? unread_.find(*slot) : unread_.begin();
    if (next == unread_.end()) {
        return false;
    }
    const CK_SLOT_ID entrySlot = next->first;
    const std::string name = std::move(next->second);
    unread_.erase(next);
    readEntry(entrySlot, name, changes);
    return true;
}

void TokenDirectory::startWatch(std::vector<DirectoryChange>& changes) {
    wd_ = ::inotify_add_watch(fd_, path_.c_str(), kWatchMask);
    if (wd_ >= 0) {
        rescan(changes);
    }
}

void TokenDirectory::stopWatch(std::vector<DirectoryChange>& changes) {
    if (wd_ >= 0) {
        ::inotify_rm_watch(fd_, wd_);
        wd_ = -1;
    }
    unread_.clear();
    while (!known_.empty()) {
        dropEntry(known_.begin()->first, changes);
    }
}

void TokenDirectory::rescan(std::vector<DirectoryChange>& changes) {
    DIR* dir = ::opendir(path_.c_str());
    if (dir == nullptr) {
        return;
    }
    unread_.clear();  // every entry is read below
    std::set<CK_SLOT_ID> present;
    while (const struct dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        auto slot = slotFromEntryName(name);
        if (!slot) {
            continue;
        }
        std::string content;
        auto entry = parseFile(path_, name, content);
        if (!entry) {
            continue;
        }
        present.insert(*slot);
        auto known = known_.find(*slot);
        if (known == known_.end() || known->second != content) {
            known_[*slot] = content;
            changes.push_back({*slot, std::move(entry)});
        }
    }
    ::closedir(dir);
    for (auto it = known_.begin(); it != known_.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        changes.push_back({it->first, std::nullopt});
        it = known_.erase(it);
    }
}

void TokenDirectory::readEntry(CK_SLOT_ID slot, const std::string& name,
                               std::vector<DirectoryChange>& changes) {
    std::string content;
    auto entry = parseFile(path_, name, content);
    if (!entry) {
        // Gone again or not a valid entry: either way no token is in the slot.
        dropEntry(slot, changes);
        return;
    }
    known_[slot] = content;
    changes.push_back({slot, std::move(entry)});
}

void TokenDirectory::dropEntry(CK_SLOT_ID slot, std::vector<DirectoryChange>& changes) {
    if (known_.erase(slot) > 0) {
        changes.push_back({slot, std::nullopt});
    }
}

}  // namespace kxsim
