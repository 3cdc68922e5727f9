#include "watch/InotifyFd.h"

#include <sys/inotify.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "log/KxLogger.h"

InotifyFd::InotifyFd(Callback onModified, Callback onAppeared)
    : BaseFd(inotify_init1(IN_NONBLOCK)),
      callback_(std::move(onModified)),
      appearedCallback_(std::move(onAppeared)) {}

bool InotifyFd::addPath(const std::string& path) {
    KxLogger::log(LOG_DEBUG, "Попытка поставить файл %s на контроль", path.c_str());
    int watch = inotify_add_watch(fd_, path.c_str(), IN_MODIFY);
    if (watch < 0) {
        KxLogger::log(LOG_ERR, "Ошибка установки файла %s на контроль", path.c_str());
        return false;
    }
    watches_[watch] = path;
    KxLogger::log(LOG_INFO, "Файл %s поставлен на контроль", path.c_str());
    return true;
}

bool InotifyFd::rmPath(const std::string& path) {
    KxLogger::log(LOG_DEBUG, "Попытка снять файл %s с контроля", path.c_str());
    for (auto it = watches_.begin(); it != watches_.end(); ++it) {
        if (it->second == path) {
            if (inotify_rm_watch(fd_, it->first) != 0) {
                KxLogger::log(LOG_ERR, "Не удалось снять файл %s с контроля", path.c_str());
            }
            watches_.erase(it);
            break;
        }
    }
    KxLogger::log(LOG_INFO, "Файл снят с контроля: %s", path.c_str());
    return true;
}

bool InotifyFd::addDirectory(const std::string& directory) {
    KxLogger::log(LOG_DEBUG, "Попытка поставить каталог %s на контроль", directory.c_str());
    int watch = inotify_add_watch(fd_, directory.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (watch < 0) {
        KxLogger::log(LOG_ERR, "Ошибка установки каталога %s на контроль", directory.c_str());
        return false;
    }
    directories_[watch] = directory;
    KxLogger::log(LOG_INFO, "Каталог %s поставлен на контроль", directory.c_str());
    return true;
}

void InotifyFd::onFileChanged() {
    alignas(inotify_event) char buffer[4096];
    while (true) {
        ssize_t length = read(fd_, buffer, sizeof(buffer));
        if (length <= 0) {
            return;  // drained (EAGAIN) or failed: either way nothing more to do now
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            dispatch(event->wd, event->mask, event->len > 0 ? event->name : "");
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void InotifyFd::dispatch(int watch, uint32_t mask, const char* name) {
    if ((mask & IN_IGNORED) != 0) {
        // The kernel dropped the watch: its file was deleted or replaced by a rename. Without
        // this the table would grow with every replacement, and rmPath would find a dead entry
        // before the live one.
        watches_.erase(watch);
        directories_.erase(watch);
        return;
    }
    // The callbacks may add watches, so they get copies rather than references into the tables.
    auto file = watches_.find(watch);
    if (file != watches_.end()) {
        if ((mask & IN_MODIFY) != 0 && callback_) {
            std::string path = file->second;
            callback_(path);
        }
        return;
    }
    auto directory = directories_.find(watch);
    if (directory != directories_.end() && (mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
        (mask & IN_ISDIR) == 0 && name[0] != '\0' && appearedCallback_) {
        std::string path = directory->second + "/" + name;
        appearedCallback_(path);
    }
}
