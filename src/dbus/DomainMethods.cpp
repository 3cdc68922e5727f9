// The domain diagnostics methods: a reachability check of a domain with adcli, and the PAM SSSD
// module's authentication results of a time window taken from the journal into a file.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "daemon/Daemon.h"
#include "dbus/BusContract.h"
#include "dbus/DomainDiagnostics.h"
#include "dbus/MethodArguments.h"
#include "log/Command.h"
#include "log/Common.h"
#include "log/KxLogger.h"
#include "watch/BaseFd.h"

namespace {

constexpr const char* kAuthResultFile = BusContract::kAuthResults;
// Journal fields no user can set: records that root's processes sent to the authpriv facility,
// where PAM modules (pam_sss among them, inside the login programs) write. Any user can log a
// line holding the searched text, but only as themselves.
const std::vector<std::string> kAuthRecords = {"_UID=0", "SYSLOG_FACILITY=10"};

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Whether the arguments passed the check; logs why not.
bool argumentsOk(MethodArguments::Check check) {
    return MethodArguments::accepted(check, "Не правильный тип аргументов!");
}

// Whether what stands at the result path is the daemon's own earlier result file.
bool ownResultFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_uid == 0 && status.st_nlink == 1;
}

// A name for a foreign object in /tmp that no one holds yet.
std::string asideName() {
    uint64_t random = 0;
    if (getrandom(&random, sizeof(random), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(random))) {
        random = std::random_device()();
    }
    char name[64];
    std::snprintf(name, sizeof(name), "%s.%016llx", kAuthResultFile,
                  static_cast<unsigned long long>(random));
    return name;
}

// Clears the result path: the daemon's earlier file goes, anything else a user may have put
// there (a directory, a link into /etc, a FIFO, their own file) is moved aside, never followed or
// emptied. Root may rename another's entry in the sticky /tmp.
bool clearResultPath() {
    struct stat status {};
    if (lstat(kAuthResultFile, &status) != 0) {
        return errno == ENOENT;
    }
    if (ownResultFile(status)) {
        return unlink(kAuthResultFile) == 0 || errno == ENOENT;
    }
    std::string aside = asideName();
    if (renameat2(AT_FDCWD, kAuthResultFile, AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0) {
        return errno == ENOENT;
    }
    KxLogger::log(LOG_WARNING,
                  "Посторонний объект %s перемещён в %s, файл результата создан заново",
                  kAuthResultFile, aside.c_str());
    return true;
}

// A new, empty result file. A name taken again in between makes the open fail instead of
// following it, and the path is cleared once more.
File createResultFile() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!clearResultPath()) {
            return nullptr;
        }
        int fd = open(kAuthResultFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            return nullptr;
        }
        File file(fdopen(fd, "w"));
        if (!file) {
            close(fd);
        }
        return file;
    }
    return nullptr;
}

// Copies the kept lines of the output read from `output` to the file; false when a write failed.
bool copyKept(int output, DomainDiagnostics::AuthResultFilter& filter, FILE* file) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t count = Command::read(output, buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        std::string kept = count > 0 ? filter.feed(std::string(buffer, static_cast<size_t>(count)))
                                     : filter.finish();
        if (fwrite(kept.data(), 1, kept.size(), file) != kept.size()) {
            return false;
        }
        if (count <= 0) {
            return true;
        }
    }
}

// Runs journalctl for the window and writes the kept lines of its output to the file; true when
// at least one line was kept and all were written. journalctl's own status does not count, as in
// a shell pipeline.
bool saveAuthResults(const std::string& since, const std::string& until, FILE* file) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    DomainDiagnostics::AuthResultFilter filter;
    pid_t pid = -1;
    bool written = false;
    {
        BaseFd reader(ends[0]);
        {
            BaseFd writer(ends[1]);
            std::vector<std::string> argv = {"journalctl", "--since", since, "--until", until};
            argv.insert(argv.end(), kAuthRecords.begin(), kAuthRecords.end());
            pid = Command::start(argv, writer.get());
        }
        if (pid < 0) {
            return false;
        }
        written = copyKept(reader.get(), filter, file);
    }  // closed before the wait, so a journalctl still writing ends on the broken pipe
    Command::wait(pid);
    return filter.matched() && written;
}

}  // namespace

common::any Daemon::domainAccesssCheck(DBusServer::Arguments& args) {
    if (!argumentsOk(MethodArguments::check<std::string>(args))) {
        return BusContract::kWrongArguments;
    }
    const std::string& domain = common::any_cast<std::string>(args[0]);
    // adcli would take it for an option (--domain-controller=...); "--" below is a second guard.
    if (domain.empty() || domain[0] == '-') {
        argumentsOk(MethodArguments::Check::WrongType);
        return BusContract::kWrongArguments;
    }
    int answer =
        DomainDiagnostics::domainCheckAnswer(Command::run({"adcli", "info", "--", domain}));
    if (answer < 0) {
        KxLogger::log(LOG_INFO, "Не удалось выполнить проверку домена %s",
                      Common::printable(domain).c_str());
    } else {
        KxLogger::log(LOG_INFO, "Выполнена проверки домена %s. Код возврата: %d",
                      Common::printable(domain).c_str(), answer);
    }
    return answer;
}

common::any Daemon::saveAuthResultFromPamSssLog(DBusServer::Arguments& args) {
    if (!argumentsOk(MethodArguments::check<std::string, std::string>(args))) {
        return BusContract::kWrongArguments;
    }
    File file = createResultFile();
    bool saved = file && saveAuthResults(common::any_cast<std::string>(args[0]),
                                         common::any_cast<std::string>(args[1]), file.get());
    // The last buffered lines reach the file only now.
    saved = file && fclose(file.release()) == 0 && saved;
    if (!saved) {
        KxLogger::log(LOG_INFO, "Не удалось получить результат авторизации из логов pam_sss");
        return BusContract::kFileOrCommandFailed;
    }
    KxLogger::log(LOG_INFO,
                  "Результат авторизации полученный из логов pam_sss, сохранен в "
                  "/tmp/pam_sss_auth_res");
    return BusContract::kDone;
}
