#include "daemon/Daemon.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "log/KxLogger.h"

Daemon* gDaemon = nullptr;

namespace {
constexpr auto kLoopPause = std::chrono::milliseconds(5);
}

Daemon::Daemon() : stop_(false), pid_(kPidPath) {
    initPid();
    initSignalHandler();
    umask(0);
    if (chdir("/") != 0) {
        int error = errno;
        KxLogger::log(LOG_ERR, "Ошибка при смене рабочего каталога, error code: %d, error: %s",
                      error, strerror(error));
        pid_.unlock();
        exit(1);
    }
}

Daemon::~Daemon() {
    pid_.unlock();
}

void Daemon::initPid() {
    switch (pid_.lock()) {
        case 0:
            return;
        case 1:
            exit(2);
        default:
            exit(1);
    }
}

void Daemon::initSignalHandler() {
    gDaemon = this;
    KxLogger::prepareSignalSafeLogging();
    struct sigaction action {};
    action.sa_handler = &Daemon::signalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocking calls see EINTR
    for (int signalNumber : {SIGINT, SIGTERM, SIGILL, SIGABRT, SIGFPE, SIGSEGV}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

void Daemon::signalHandler(int signalNumber) {
    // Runs on any thread at any moment: only async-signal-safe calls here.
    if (signalNumber == SIGINT || signalNumber == SIGTERM) {
        KxLogger::logFromSignalHandler(LOG_DEBUG, "Получен сигнал остановки демона ",
                                       signalNumber);
        if (gDaemon != nullptr) {
            gDaemon->stop_ = true;
        }
        return;
    }
    KxLogger::logFromSignalHandler(LOG_ERR, "Критическая ошибка ", signalNumber);
    if (gDaemon != nullptr) {
        gDaemon->pid_.unlock();
    }
    _exit(3);
}

int Daemon::exec() {
    while (!stop_) {
        std::this_thread::sleep_for(kLoopPause);
    }
    return 0;
}
