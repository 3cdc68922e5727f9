#include "sessions/UserCertificates.h"

#include <sys/stat.h>

#include <ctime>
#include <map>
#include <mutex>
#include <tuple>

namespace {

// Enough for every session of a large terminal server; beyond it the cache starts over.
constexpr size_t kMaxKept = 4096;
// File times tick coarsely: a file changed this recently may change again without its times
// moving, so what was decoded from it is not kept.
constexpr time_t kSettledSeconds = 2;

// What tells one state of a file from another.
using Version = std::tuple<dev_t, ino_t, off_t, time_t, long, time_t, long>;

struct Kept {
    Version version;
    Certificate certificate;
};

bool settledVersion(const std::string& path, Version& version) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        std::time(nullptr) - status.st_ctim.tv_sec < kSettledSeconds) {
        return false;
    }
    version = Version(status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
                      status.st_mtim.tv_nsec, status.st_ctim.tv_sec, status.st_ctim.tv_nsec);
    return true;
}

}  // namespace

Certificate UserCertificates::of(const std::string& home) {
    const std::string path = home + kFile;
    static std::mutex mutex;
    static std::map<std::string, Kept> kept;  // by path
    std::lock_guard<std::mutex> lock(mutex);

    // Taken before the file is read: a change in between gives the next call another version.
    Version version;
    const bool settled = settledVersion(path, version);
    auto known = kept.find(path);
    if (settled && known != kept.end() && known->second.version == version) {
        return known->second.certificate;
    }
    Certificate certificate(path, Certificate::Format::Pem);
    if (known != kept.end()) {
        kept.erase(known);
    }
    // Only what decoded is kept: a file that does not is tried, and logged, every time.
    if (settled && !certificate.fingerprint().empty()) {
        if (kept.size() >= kMaxKept) {
            kept.clear();
        }
        kept.emplace(path, Kept{version, certificate});
    }
    return certificate;
}
