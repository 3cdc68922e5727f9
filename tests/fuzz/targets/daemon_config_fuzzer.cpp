// The daemon's configuration reader on any file content: no crash, no hang; settings within
// their ranges; the interval at its default unless named, negative only from a written minus
// sign; the reload flag cleared exactly when the load succeeds; a second load the same.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <tuple>

#include "Fuzz.h"
#include "config/DaemonConfig.h"

namespace {

auto settings(const DaemonConfig& config) {
    return std::make_tuple(config.tokenEjectActionSystem(), config.tokenEjectActionRemote(),
                           config.debug(), config.forceSessionMatch(),
                           config.ticketsCheckIntervalMs());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A real file in the working directory (the build tree): the reader walks the path to judge
    // who could change it, which a descriptor's /proc link does not allow.
    static const std::string path = std::filesystem::absolute("kxsentrixd-fuzz.conf");
    static const int file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    REQUIRE(ftruncate(file, 0) == 0 && pwrite(file, data, size, 0) == static_cast<ssize_t>(size));
    DaemonConfig config(path);
    const bool loaded = config.load();

    const int system = static_cast<int>(config.tokenEjectActionSystem());
    const int remote = static_cast<int>(config.tokenEjectActionRemote());
    REQUIRE(system >= -1 && system <= 2);
    REQUIRE(remote == 0 || remote == 1);
    REQUIRE(!DaemonConfig::systemActionName(config.tokenEjectActionSystem()).empty());
    REQUIRE(!DaemonConfig::remoteActionName(config.tokenEjectActionRemote()).empty());
    REQUIRE(config.getReloadCfgFlag() != loaded);
    const std::string text = fuzz::text(data, size);
    REQUIRE(text.find("ticketsCheckInterval") != std::string::npos ||
            config.ticketsCheckIntervalMs() == 1000);
    REQUIRE(text.find('-') != std::string::npos || config.ticketsCheckIntervalMs() >= 0);

    const auto first = settings(config);
    REQUIRE(config.load() == loaded);
    REQUIRE(settings(config) == first);
    return 0;
}
