#include "log/UntrustedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Reads the open descriptor; the caller closes it. Returns 0 or an errno value.
int readOpenFile(int fd, std::string& content, size_t limit) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    }
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

}  // namespace

bool UntrustedFile::read(const std::string& path, std::string& content, size_t limit,
                         int* error) {
    content.clear();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int result = fd < 0 ? errno : readOpenFile(fd, content, limit);
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
