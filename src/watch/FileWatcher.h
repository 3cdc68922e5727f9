#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "daemon/WorkerThread.h"
#include "watch/EventFd.h"
#include "watch/InotifyFd.h"

// Watches the daemon's configuration file on a thread of its own and raises the configuration's
// reload flag when the file is written or replaced. The reload itself happens on the main thread.
class FileWatcher {
public:
    FileWatcher();
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Creates the descriptors and the watches. A missing file is not an error: it is watched
    // once it is created, as long as its directory existed here.
    bool initialize();
    bool startMainLoop();
    // Wakes the thread and joins it; harmless when not running.
    void stopMainLoop();

    void onFileChanged(const std::string& path) const;
    void daemonConfigChanged() const;

private:
    void onFileAppeared(const std::string& path);
    void watchDirectoryOf(const std::string& path);
    void mainLoop();
    void waitForThread();

    std::string configPath_;
    std::vector<std::string> watchedPaths_;
    WorkerThread worker_{"kx-config"};  // woken by stopEvent_: it waits in poll()
    bool initialized_ = false;
    std::atomic<bool> running_{false};
    std::unique_ptr<EventFd> stopEvent_;
    std::unique_ptr<InotifyFd> inotify_;
};
