#include "TokenStore.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kxsim {

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

// Renames without replacing an existing entry, where the file system allows it.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (::access(to.c_str(), F_OK) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

}  // namespace

std::string TokenStore::pathOf(CK_SLOT_ID slot) const {
    return dir_ + "/" + entryName(slot);
}

std::string TokenStore::insert(CK_SLOT_ID slot, const std::string& text, bool replace) const {
    if (!makeDirectories(dir_)) {
        return systemError("cannot create " + dir_);
    }
    std::string temporary = dir_ + "/." + entryName(slot) + ".tmp-" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return systemError("cannot write " + temporary);
    }
    bool written = writeAll(fd, text);
    if (::close(fd) != 0 || !written) {
        std::string error = systemError("cannot write " + temporary);
        ::unlink(temporary.c_str());
        return error;
    }
    std::string target = pathOf(slot);
    int renamed =
        replace ? ::rename(temporary.c_str(), target.c_str()) : renameNoReplace(temporary, target);
    if (renamed != 0) {
        std::string error = errno == EEXIST
                                ? "slot " + entryName(slot) +
                                      " already holds a token; remove it first or use --replace"
                                : systemError("cannot insert into " + target);
        ::unlink(temporary.c_str());
        return error;
    }
    return "";
}

std::string TokenStore::remove(CK_SLOT_ID slot) const {
    if (::unlink(pathOf(slot).c_str()) != 0) {
        return errno == ENOENT ? "no token in slot " + entryName(slot)
                               : systemError("cannot remove " + pathOf(slot));
    }
    return "";
}

bool TokenStore::holds(CK_SLOT_ID slot) const {
    return ::access(pathOf(slot).c_str(), F_OK) == 0;
}

std::string TokenStore::list(std::vector<StoredEntry>& entries) const {
    DIR* dir = ::opendir(dir_.c_str());
    if (dir == nullptr) {
        return errno == ENOENT ? "" : systemError("cannot read " + dir_);
    }
    while (const struct dirent* item = ::readdir(dir)) {
        auto slot = slotFromEntryName(item->d_name);
        if (!slot) {
            continue;
        }
        StoredEntry entry;
        entry.slot = *slot;
        auto text = readWholeFile(pathOf(*slot), entry.error);
        if (text) {
            entry.entry = parseEntry(*text, dir_, entry.error);
        }
        entries.push_back(entry);
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const StoredEntry& a, const StoredEntry& b) { return a.slot < b.slot; });
    return "";
}

}  // namespace kxsim
