#include "sessions/ProcessTable.h"

#include <dirent.h>
#include <syslog.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "log/Directory.h"
#include "log/KxLogger.h"
#include "log/UntrustedFile.h"

namespace {

constexpr const char* kProc = "/proc";
// comm is at most 16 bytes; the bound only keeps a reader from trusting that.
constexpr size_t kCommLimit = 256;
constexpr size_t kStatusLimit = 64 * 1024;

bool isPid(const char* name) {
    return *name != '\0' && std::strspn(name, "0123456789") == std::strlen(name);
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string procPath(int32_t pid, const char* file) {
    return std::string(kProc) + "/" + std::to_string(pid) + "/" + file;
}

// The kernel's "PPid:" field. Only a line that starts with it counts: the "Name:" line above
// it holds the command name, which the process chose itself.
int32_t parentPid(const std::string& status) {
    for (size_t line = 0; line < status.size();) {
        size_t end = status.find('\n', line);
        if (end == std::string::npos) {
            end = status.size();
        }
        if (status.compare(line, 5, "PPid:") == 0) {
            const char* value = status.c_str() + line + 5;
            size_t blanks = std::strspn(value, " \t");
            if (blanks > 0 && value[blanks] >= '0' && value[blanks] <= '9') {
                return static_cast<int32_t>(std::strtol(value + blanks, nullptr, 10));
            }
        }
        line = end + 1;
    }
    return -1;
}

}  // namespace

bool ProcessTable::read(int32_t pid, Process& process) {
    auto handle = std::make_shared<const PidFd>(pid);
    if (!handle->valid()) {
        return false;
    }
    std::string comm, cmdline, status;
    // Users choose their command lines, and they can be megabytes long: all reads are bounded.
    if (!UntrustedFile::read(procPath(pid, "comm"), comm, kCommLimit) ||
        !UntrustedFile::read(procPath(pid, "cmdline"), cmdline) ||
        !UntrustedFile::read(procPath(pid, "status"), status, kStatusLimit)) {
        return false;
    }
    int32_t ppid = parentPid(status);
    std::shared_ptr<const PidFd> parent;
    if (ppid > 0) {
        parent = std::make_shared<const PidFd>(ppid);
        // Still the parent after it was held: the held process is the one that was named.
        if (!UntrustedFile::read(procPath(pid, "status"), status, kStatusLimit) ||
            parentPid(status) != ppid || !parent->alive()) {
            parent.reset();
        }
    }
    // Not yet reaped after the reads: the files were this process's, not a successor's.
    if (!handle->alive()) {
        return false;
    }
    process.pid = pid;
    process.ppid = ppid;
    process.name = firstLine(comm);
    process.cmdline = std::move(cmdline);
    process.handle = std::move(handle);
    process.parent = std::move(parent);
    return true;
}

std::vector<ProcessTable::Process> ProcessTable::list(const std::string& name) {
    Directory directory(opendir(kProc));
    if (!directory) {
        KxLogger::log(LOG_ERR, "Не удалось открыть директорию %s", kProc);
        return {};
    }
    std::vector<Process> found;
    while (const dirent* entry = readdir(directory.get())) {
        if (entry->d_type != DT_DIR || !isPid(entry->d_name)) {
            continue;
        }
        int32_t pid = static_cast<int32_t>(std::strtol(entry->d_name, nullptr, 10));
        if (!name.empty()) {
            // A cheap look first, so only candidates are held; the name is checked again on
            // what was read while held.
            std::string comm;
            if (!UntrustedFile::read(procPath(pid, "comm"), comm, kCommLimit) ||
                firstLine(comm) != name) {
                continue;
            }
        }
        Process process;
        if (read(pid, process) && (name.empty() || process.name == name)) {
            found.push_back(std::move(process));
        }
    }
    return found;
}

bool ProcessTable::interrupt(const Process& process) {
    return process.handle && process.handle->sendSignal(SIGINT);
}

bool ProcessTable::interruptParent(const Process& process) {
    return process.parent && process.parent->sendSignal(SIGINT);
}

std::string ProcessTable::parentName(const Process& process) {
    std::string comm;
    if (!process.parent || !UntrustedFile::read(procPath(process.ppid, "comm"), comm, kCommLimit) ||
        !process.parent->alive()) {
        return {};
    }
    return firstLine(comm);
}
