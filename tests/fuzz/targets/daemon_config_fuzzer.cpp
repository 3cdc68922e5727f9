// The daemon's configuration reader on any file content: it ends without a crash or a hang, its
// settings stay within their ranges, a negative interval comes only from a written minus sign,
// the reload flag is cleared exactly when the load succeeds, and a second load of the same
// file gives the same settings.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "config/DaemonConfig.h"

namespace {

using System = DaemonConfig::TokenEjectActionSystem;
using Remote = DaemonConfig::TokenEjectActionRemote;

// The file the reader reads: a memory file, reached through its /proc path.
int configFile() {
    static const int fd = memfd_create("kxsentrixd.conf", MFD_CLOEXEC);
    return fd;
}

void write(const uint8_t* data, size_t size) {
    if (ftruncate(configFile(), 0) != 0 ||
        (size > 0 && pwrite(configFile(), data, size, 0) != static_cast<ssize_t>(size))) {
        std::abort();
    }
}

auto settings(const DaemonConfig& config) {
    return std::make_tuple(config.tokenEjectActionSystem(), config.tokenEjectActionRemote(),
                           config.debug(), config.forceSessionMatch(),
                           config.ticketsCheckIntervalMs());
}

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write(data, size);
    DaemonConfig config("/proc/self/fd/" + std::to_string(configFile()));
    const bool loaded = config.load();

    const int system = static_cast<int>(config.tokenEjectActionSystem());
    const int remote = static_cast<int>(config.tokenEjectActionRemote());
    require(system >= -1 && system <= 2);
    require(remote == 0 || remote == 1);
    require(!DaemonConfig::systemActionName(config.tokenEjectActionSystem()).empty());
    require(!DaemonConfig::remoteActionName(config.tokenEjectActionRemote()).empty());
    require(config.getReloadCfgFlag() != loaded);

    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find("ticketsCheckInterval") == std::string::npos) {
        require(config.ticketsCheckIntervalMs() == 1000);
    }
    if (text.find('-') == std::string::npos) {
        require(config.ticketsCheckIntervalMs() >= 0);
    }

    const auto first = settings(config);
    require(config.load() == loaded);
    require(settings(config) == first);
    return 0;
}
