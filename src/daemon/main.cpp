#include <syslog.h>

#include <cstring>

#include "daemon/Daemon.h"
#include "log/KxLogger.h"

int main(int argc, char* argv[]) {
    KxLogger::log(LOG_INFO, "Korvex Sentrix daemon started");
    if (argc > 1 && std::strcmp(argv[1], "lock") == 0) {
        KxLogger::log(LOG_INFO, "Вызов с блокировкой всех сессий");
        int locked = Daemon::lockAll();
        KxLogger::log(LOG_INFO, "Korvex Sentrix daemon finished");
        return locked;
    }
    int status;
    {
        Daemon daemon;
        status = daemon.exec();
        KxLogger::log(LOG_INFO, "Korvex Sentrix daemon finished");
    }
    return status;
}
