#include "watch/FileWatcher.h"

#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>

#include "config/DaemonConfig.h"
#include "log/KxLogger.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

}  // namespace

FileWatcher::FileWatcher()
    : configPath_(DaemonConfig::default_config_path), watchedPaths_{configPath_} {}

FileWatcher::~FileWatcher() {
    stopMainLoop();
    waitForThread();
}

bool FileWatcher::initialize() {
    stopEvent_ = std::make_unique<EventFd>();
    if (!stopEvent_->valid()) {
        KxLogger::log(LOG_ERR, "Ошибка инициализации: %s", "Не удалось создать дескриптор eventfd");
        return initialized_;
    }
    inotify_ =
        std::make_unique<InotifyFd>([this](const std::string& path) { onFileChanged(path); },
                                    [this](const std::string& path) { onFileAppeared(path); });
    if (!inotify_->valid()) {
        KxLogger::log(LOG_ERR, "Ошибка инициализации: %s", "Не удалось создать дескриптор inotify");
        return initialized_;
    }
    for (const std::string& path : watchedPaths_) {
        // The directory first: a replacement that lands right after the check below is then
        // still seen as an entry moved into place.
        watchDirectoryOf(path);
        if (!fileExists(path)) {
            KxLogger::log(LOG_ERR, "Файл %s не найден. Не ставим его на контроль", path.c_str());
            continue;
        }
        if (!inotify_->addPath(path)) {
            return initialized_;
        }
    }
    initialized_ = true;
    return true;
}

void FileWatcher::watchDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    if (slash == std::string::npos || !isDirectory(directory)) {
        return;  // nothing can appear there; the missing file is reported by the caller
    }
    // Without the directory watch, writes are still seen; only replacements are missed.
    inotify_->addDirectory(directory);
}

bool FileWatcher::startMainLoop() {
    if (!initialized_) {
        KxLogger::log(LOG_WARNING, "Попытка запуска непроиницилизированного FileWatcher-а");
        return false;
    }
    if (running_) {
        return true;
    }
    KxLogger::log(LOG_DEBUG, "Запуск основного цикла FileWatcher");
    worker_.start([this] { mainLoop(); });
    running_ = true;
    return true;
}

void FileWatcher::stopMainLoop() {
    if (!running_) {
        return;
    }
    running_ = false;
    KxLogger::log(LOG_DEBUG, "Остановка основного цикла FileWatcher");
    // Only a counter at its maximum refuses, which single writes of 1 never reach.
    if (!stopEvent_->write(1)) {
        KxLogger::log(LOG_ERR, "Не удалось записать в event_fd");
    }
    waitForThread();
}

void FileWatcher::onFileChanged(const std::string& path) const {
    KxLogger::log(LOG_DEBUG, "Модификация файла %s", path.c_str());
    if (path == configPath_) {
        daemonConfigChanged();
    }
}

void FileWatcher::onFileAppeared(const std::string& path) {
    if (std::find(watchedPaths_.begin(), watchedPaths_.end(), path) == watchedPaths_.end()) {
        return;
    }
    // Editors and deployment tools write a new file and rename it over the old one; the old
    // watch stays on the old inode, so the new file needs its own. The watch goes on before the
    // reload request, so a write that follows is never lost.
    KxLogger::log(LOG_DEBUG, "Файл %s создан или заменён", path.c_str());
    inotify_->addPath(path);
    if (path == configPath_) {
        daemonConfigChanged();
    }
}

void FileWatcher::daemonConfigChanged() const {
    if (DaemonConfig* config = DaemonConfig::instance()) {
        config->setReloadCfgFlag(true);
    }
}

void FileWatcher::mainLoop() {
    pollfd entries[2] = {{inotify_->get(), POLLIN, 0}, {stopEvent_->get(), POLLIN, 0}};
    while (true) {
        int ready = poll(entries, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            KxLogger::log(LOG_ERR, "Ошибка при вызове poll %d", errno);
            return;
        }
        if (ready == 0) {
            continue;
        }
        if ((entries[0].revents & POLLIN) != 0) {
            inotify_->onFileChanged();
            continue;
        }
        if ((entries[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            if (!stopEvent_->read(count)) {
                KxLogger::log(LOG_ERR, "Ошибка чтения из eventfd. errno: %d", errno);
            }
            return;
        }
    }
}

void FileWatcher::waitForThread() {
    if (!worker_.started()) {
        return;
    }
    KxLogger::log(LOG_DEBUG, "Ожидание завершения потока FileWatcher");
    worker_.stop();
    KxLogger::log(LOG_DEBUG, "Поток FileWatcher завершен");
}
