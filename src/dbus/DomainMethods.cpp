// The domain diagnostics methods: a reachability check of a domain with adcli, and the PAM SSSD
// module's authentication results of a time window taken from the journal into a file.

#include "dbus/ControlService.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "dbus/BusContract.h"
#include "dbus/DomainDiagnostics.h"
#include "dbus/MethodArguments.h"
#include "base/AtomicFile.h"
#include "base/Command.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "watch/BaseFd.h"

namespace {

constexpr const char* kAuthResultFile = BusContract::kAuthResults;
// Journal fields no user can set: records that root's processes sent to the authpriv facility,
// where PAM modules (pam_sss among them, inside the login programs) write. Any user can log a
// line holding the searched text, but only as themselves.
const std::vector<std::string> kAuthRecords = {"_UID=0", "SYSLOG_FACILITY=10"};

// Whether the arguments passed the check; logs why not.
bool argumentsOk(MethodArguments::Check check) {
    return MethodArguments::accepted(check, "Не правильный тип аргументов!");
}

// Copies the kept lines of the output read from `output` to the file; 0 or the errno of a
// failed write.
int copyKept(int output, DomainDiagnostics::AuthResultFilter& filter, int file) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t count = Command::read(output, buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        std::string kept = count > 0 ? filter.feed(std::string(buffer, static_cast<size_t>(count)))
                                     : filter.finish();
        if (int error = AtomicFile::writeAll(file, kept)) {
            return error;
        }
        if (count <= 0) {
            return 0;
        }
    }
}

// Runs journalctl for the window and writes the kept lines of its output to the file; 0 or the
// errno of a failed write. `matched` tells whether a line was kept: journalctl's own status does
// not count, as in a shell pipeline.
int saveAuthResults(const std::string& since, const std::string& until, int file, bool& matched) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return 0;  // no command: an empty result
    }
    DomainDiagnostics::AuthResultFilter filter;
    pid_t pid = -1;
    int written = 0;
    {
        BaseFd reader(ends[0]);
        {
            BaseFd writer(ends[1]);
            std::vector<std::string> argv = {"journalctl", "--since", since, "--until", until};
            argv.insert(argv.end(), kAuthRecords.begin(), kAuthRecords.end());
            pid = Command::start(argv, writer.get());
        }
        if (pid < 0) {
            return 0;
        }
        written = copyKept(reader.get(), filter, file);
    }  // closed before the wait, so a journalctl still writing ends on the broken pipe
    Command::wait(pid);
    matched = filter.matched();
    return written;
}

}  // namespace

common::any ControlService::domainAccesssCheck(Arguments& args) {
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

common::any ControlService::saveAuthResultFromPamSssLog(Arguments& args) {
    if (!argumentsOk(MethodArguments::check<std::string, std::string>(args))) {
        return BusContract::kWrongArguments;
    }
    bool matched = false;
    std::string aside;
    int error = 0;
    // /tmp is anyone's: the file is put in place of whatever a user left at its name, in one
    // step, so that no race with a user can fail the call.
    const bool put = AtomicFile::put(
        kAuthResultFile, 0644,
        [&args, &matched](int file) {
            return saveAuthResults(common::any_cast<std::string>(args[0]),
                                   common::any_cast<std::string>(args[1]), file, matched);
        },
        &aside, &error);
    if (!aside.empty()) {
        KxLogger::log(LOG_WARNING,
                      "Посторонний объект %s перемещён в %s, файл результата создан заново",
                      kAuthResultFile, aside.c_str());
    }
    if (!put) {
        KxLogger::log(LOG_WARNING, "Не удалось сохранить файл %s: %s", kAuthResultFile,
                      std::strerror(error));
    }
    if (!put || !matched) {
        KxLogger::log(LOG_INFO, "Не удалось получить результат авторизации из логов pam_sss");
        return BusContract::kFileOrCommandFailed;
    }
    KxLogger::log(LOG_INFO,
                  "Результат авторизации полученный из логов pam_sss, сохранен в "
                  "/tmp/pam_sss_auth_res");
    return BusContract::kDone;
}
