#include "daemon/StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AtomicFile.h"
#include "log/KxLogger.h"

namespace {

// The directory is made here as well as by the service manager: the daemon also runs without
// one. Anything else at its name is no directory of ours, and no state is kept in it.
bool prepareDirectory() {
    if (mkdir(StateFile::kDirectory, 0700) == 0) {
        return true;
    }
    struct stat status {};
    if (errno != EEXIST || lstat(StateFile::kDirectory, &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != 0) {
        KxLogger::log(LOG_ERR,
                      "Каталог %s не создан или не является каталогом root: состояние токенов "
                      "не сохраняется",
                      StateFile::kDirectory);
        return false;
    }
    if ((status.st_mode & 07777) != 0700) {
        chmod(StateFile::kDirectory, 0700);
    }
    return true;
}

// What stands in the file; empty, with `why` set, when it cannot be trusted. `missing` when
// there is none.
std::optional<std::string> readOwn(bool& missing, std::string& why) {
    missing = false;
    const int fd =
        open(StateFile::kPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    std::string text;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        why = "не обычный файл";
    } else if (status.st_uid != 0 || (status.st_mode & 022) != 0) {
        why = "владелец не root или запись разрешена не только root";
    } else if (static_cast<size_t>(status.st_size) > SavedTokens::kMaxSize) {
        why = "слишком большой файл";
    } else {
        char buffer[65536];
        ssize_t count = 0;
        while (text.size() <= SavedTokens::kMaxSize &&
               (count = read(fd, buffer, sizeof(buffer))) != 0) {
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                why = std::strerror(errno);
                break;
            }
            text.append(buffer, static_cast<size_t>(count));
        }
    }
    close(fd);
    if (why.empty()) {
        return text;
    }
    return std::nullopt;
}

}  // namespace

StateFile::Found StateFile::load(SavedTokens& saved) {
    std::string why;
    directoryTrusted_ = prepareDirectory();
    if (!directoryTrusted_) {
        return Found::Refused;
    }
    bool missing = false;
    const std::optional<std::string> text = readOwn(missing, why);
    if (missing) {
        return Found::Nothing;
    }
    if (text) {
        std::optional<SavedTokens> parsed = SavedTokens::parse(*text, why);
        if (parsed) {
            saved = std::move(*parsed);
            return Found::Saved;
        }
    }
    KxLogger::log(LOG_ERR, "Файл состояния токенов %s отвергнут и удален: %s", kPath, why.c_str());
    if (unlink(kPath) != 0 && errno == EISDIR) {
        rmdir(kPath);
    }
    return Found::Refused;
}

void StateFile::start() {
    worker_.start([this] { run(); });
}

void StateFile::stop() {
    worker_.stop();
}

void StateFile::save(SavedTokens known) {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex());
        known_ = std::move(known);
        dirty_ = true;
    }
    worker_.wake();
}

void StateFile::reading(std::optional<CK_SLOT_ID> slot) {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex());
        reading_ = slot;
        dirty_ = true;
    }
    worker_.wake();
}

uint64_t StateFile::hold(const Token::Info& token) {
    std::lock_guard<std::mutex> lock(worker_.mutex());
    held_.emplace(++holds_, token);
    return holds_;
}

void StateFile::release(uint64_t held) {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex());
        if (held_.erase(held) == 0) {
            return;
        }
        dirty_ = true;
    }
    worker_.wake();
}

void StateFile::run() {
    std::unique_lock<std::mutex> lock(worker_.mutex());
    for (;;) {
        worker_.wait(lock, [this] { return dirty_; });
        if (!dirty_ || !known_) {
            if (worker_.stopping()) {
                return;
            }
            dirty_ = false;
            continue;
        }
        // With the held tokens: the removal of one of them is what the next daemon must not miss.
        SavedTokens state;
        for (const auto& [held, token] : held_) {
            state.tokens.push_back(token);
        }
        state.tokens.insert(state.tokens.end(), known_->tokens.begin(), known_->tokens.end());
        state.unread = known_->unread;
        if (reading_) {
            state.unread.insert(*reading_);
        }
        dirty_ = false;
        const bool wasFailing = failing_;
        lock.unlock();
        const bool written = write(state, wasFailing);
        lock.lock();
        failing_ = !written;
    }
}

bool StateFile::write(const SavedTokens& state, bool wasFailing) {
    if (!directoryTrusted_) {
        return false;  // said at the start
    }
    int error = 0;
    bool written = AtomicFile::replace(kPath, state.text(), 0600, &error);
    if (!written && error == ENOENT) {
        // The directory was removed under the daemon's feet: made again, if it can be.
        directoryTrusted_ = prepareDirectory();
        written = directoryTrusted_ && AtomicFile::replace(kPath, state.text(), 0600, &error);
    }
    if (!written && !wasFailing) {
        KxLogger::log(LOG_ERR,
                      "Не удалось записать файл состояния токенов %s, error code: %d, "
                      "error: %s",
                      kPath, error, std::strerror(error));
    } else if (written && wasFailing) {
        KxLogger::log(LOG_INFO, "Файл состояния токенов %s снова записывается", kPath);
    }
    return written;
}
