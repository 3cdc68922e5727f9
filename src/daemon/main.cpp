#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "daemon/Daemon.h"
#include "log/KxLogger.h"

namespace {

constexpr int kUsageStatus = 64;  // EX_USAGE

constexpr char kUsage[] =
    "usage: kxsentrixd           run the daemon (as root, in the foreground)\n"
    "       kxsentrixd lock      lock every login session and exit\n"
    "       kxsentrixd --help | --version\n"
    "See kxsentrixd(8).\n";

bool is(const char* argument, const char* shortName, const char* longName) {
    return std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0;
}

bool known(const char* argument) {
    return std::strcmp(argument, "lock") == 0 || is(argument, "-h", "--help") ||
           is(argument, "-V", "--version");
}

int runDaemon() {
    KxLogger::log(LOG_INFO, "Korvex Sentrix daemon started");
    int status;
    {
        Daemon daemon;
        if (std::optional<int> failed = daemon.startFailure()) {
            return *failed;
        }
        status = daemon.exec();
        KxLogger::log(LOG_INFO, "Korvex Sentrix daemon finished");
    }
    return status;
}

int runLock() {
    KxLogger::log(LOG_INFO, "Korvex Sentrix daemon started");
    KxLogger::log(LOG_INFO, "Вызов с блокировкой всех сессий");
    int locked = Daemon::lockAll();
    KxLogger::log(LOG_INFO, "Korvex Sentrix daemon finished");
    return locked;
}

}  // namespace

// A root daemon that powers machines off starts only when asked to by name: anything else it
// is given, a typo included, is refused before it touches anything.
int main(int argc, char* argv[]) {
    if (argc <= 1) {
        return runDaemon();
    }
    if (argc == 2 && std::strcmp(argv[1], "lock") == 0) {
        return runLock();
    }
    if (argc == 2 && is(argv[1], "-h", "--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && is(argv[1], "-V", "--version")) {
        std::printf("kxsentrixd %s\n", KX_VERSION);
        return 0;
    }
    const char* unexpected = known(argv[1]) ? argv[2] : argv[1];
    std::fprintf(stderr, "kxsentrixd: unexpected argument '%s'\n%s", unexpected, kUsage);
    return kUsageStatus;
}
