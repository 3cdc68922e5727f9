// The domain diagnostics methods: a reachability check of a domain with adcli, and the PAM SSSD
// module's authentication results of a time window taken from the journal into a file.

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "daemon/Daemon.h"
#include "dbus/DomainDiagnostics.h"
#include "dbus/MethodArguments.h"
#include "log/Command.h"
#include "log/Common.h"
#include "log/KxLogger.h"
#include "watch/BaseFd.h"

namespace {

constexpr char kAuthResultFile[] = "/tmp/pam_sss_auth_res";

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Whether the arguments passed the check; logs why not.
bool argumentsOk(MethodArguments::Check check) {
    return MethodArguments::accepted(check, "Не правильный тип аргументов!");
}

// A new, empty result file. /tmp belongs to everyone: whatever was planted at the name (a link
// into /etc, a FIFO, a hard link to another file) is removed rather than opened, and a name
// taken again in between makes the open fail instead of following it.
File createResultFile() {
    if (unlink(kAuthResultFile) != 0 && errno != ENOENT) {
        return nullptr;
    }
    int fd = open(kAuthResultFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    File file(fdopen(fd, "w"));
    if (!file) {
        close(fd);
    }
    return file;
}

// Copies the kept lines of the output read from `output` to the file; false when a write failed.
bool copyKept(int output, DomainDiagnostics::AuthResultFilter& filter, FILE* file) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t count = read(output, buffer, sizeof(buffer));
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
            pid = Command::start({"journalctl", "--since", since, "--until", until}, writer.get());
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
        return -2;
    }
    const std::string& domain = common::any_cast<std::string>(args[0]);
    int answer = DomainDiagnostics::domainCheckAnswer(Command::run({"adcli", "info", domain}));
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
        return -2;
    }
    File file = createResultFile();
    bool saved = file && saveAuthResults(common::any_cast<std::string>(args[0]),
                                         common::any_cast<std::string>(args[1]), file.get());
    // The last buffered lines reach the file only now.
    saved = file && fclose(file.release()) == 0 && saved;
    if (!saved) {
        KxLogger::log(LOG_INFO, "Не удалось получить результат авторизации из логов pam_sss");
        return -1;
    }
    KxLogger::log(LOG_INFO,
                  "Результат авторизации полученный из логов pam_sss, сохранен в "
                  "/tmp/pam_sss_auth_res");
    return 0;
}
