#include "sessions/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <syslog.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/Directory.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

namespace {

constexpr const char* kProc = "/proc";
// comm is at most 16 bytes; the bound only keeps a reader from trusting that.
constexpr size_t kCommLimit = 256;
// Users choose their command lines, up to megabytes of them, and the kernel copies each page out
// of the other process's memory. One page: a remote client's command line with every option a
// launcher gives it is a few hundred bytes. A cut loses options or shortens the last one (a client
// whose user name is lost but whose server is not still counts as the token's).
constexpr size_t kCmdlineLimit = 4 * 1024;

bool isPid(const char* name) {
    return *name != '\0' && std::strspn(name, "0123456789") == std::strlen(name);
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string procPath(int32_t pid, const char* file) {
    return std::string(kProc) + "/" + std::to_string(pid) + "/" + file;
}

}  // namespace

bool ProcessTable::read(int32_t pid, int directory, Process& process) {
    auto handle = std::make_shared<const PidFd>(pid);
    if (!handle->valid()) {
        return false;
    }
    // Read below the directory of the process the listing showed, after the pid was held: the
    // reads succeed only while that process is not reaped, so it had the pid all along and is
    // the process held.
    ProcStat stat;
    std::string cmdline;
    if (!stat.readIn(directory) ||
        !UntrustedFile::readProcessFile(directory, "cmdline", cmdline, kCmdlineLimit)) {
        return false;
    }
    process.pid = pid;
    process.ppid = stat.ppid;
    process.name = firstLine(stat.name);
    process.cmdline = std::move(cmdline);
    process.handle = std::move(handle);
    return true;
}

const PidFd* ProcessTable::holdParent(const Process& process) {
    if (process.parentLooked) {
        return process.parent.get();
    }
    process.parentLooked = true;
    if (process.ppid <= 0 || !process.handle) {
        return nullptr;
    }
    auto parent = std::make_shared<const PidFd>(process.ppid);
    // Still the parent after it was held (a process whose parent ends gets another one at
    // once): the held process is the one that was named.
    ProcStat stat;
    if (parent->valid() && stat.read(process.pid) && stat.ppid == process.ppid &&
        process.handle->alive()) {
        process.parent = std::move(parent);
    }
    return process.parent.get();
}

std::vector<ProcessTable::Process> ProcessTable::list(const std::string& name) {
    Directory directory(opendir(kProc));
    if (!directory) {
        KxLogger::log(LOG_ERR, "Не удалось открыть директорию %s", kProc);
        return {};
    }
    std::vector<Process> listed;
    while (const dirent* entry = readdir(directory.get())) {
        if (entry->d_type != DT_DIR || !isPid(entry->d_name)) {
            continue;
        }
        const BaseFd folder(
            openat(dirfd(directory.get()), entry->d_name, O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() == 0) {
            continue;  // ended since the listing
        }
        if (!name.empty()) {
            // A cheap look first, so only candidates are held; the name is checked again on
            // what was read while held.
            std::string comm;
            if (!UntrustedFile::readProcessFile(folder.get(), "comm", comm, kCommLimit) ||
                firstLine(comm) != name) {
                continue;
            }
        }
        Process process;
        const int32_t pid = static_cast<int32_t>(std::strtol(entry->d_name, nullptr, 10));
        if (read(pid, folder.get(), process) && (name.empty() || process.name == name)) {
            listed.push_back(std::move(process));
        }
    }
    return listed;
}

bool ProcessTable::interrupt(const Process& process) {
    holdParent(process);
    return process.handle && process.handle->sendSignal(SIGINT);
}

bool ProcessTable::interruptParent(const Process& process) {
    const PidFd* parent = holdParent(process);
    return parent != nullptr && parent->sendSignal(SIGINT);
}

std::string ProcessTable::parentName(const Process& process) {
    const PidFd* parent = holdParent(process);
    std::string comm;
    if (parent == nullptr ||
        !UntrustedFile::read(procPath(process.ppid, "comm"), comm, kCommLimit) ||
        !parent->alive()) {
        return {};
    }
    return firstLine(comm);
}
