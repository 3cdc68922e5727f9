// The logon configuration methods: the vendor library's applet order, a PAM file's applet and
// SSSD's token filter. Files are read whole and replaced atomically, so a failure at any step
// leaves the old file as it was.

#include "dbus/ControlService.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "dbus/BusContract.h"
#include "dbus/LogonEdits.h"
#include "dbus/MethodArguments.h"
#include "base/AtomicFile.h"
#include "base/Command.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

namespace {

using namespace BusContract;

constexpr size_t kConfigLimit = UntrustedFile::kDefaultLimit;

enum class Read { Done, Unreadable, TooLarge };

// The file's lines. A file beyond the bound is not taken: cut there, it would lose its end when
// written back.
Read readLines(const std::string& path, LogonEdits::Lines& lines) {
    std::string content;
    if (!UntrustedFile::read(path, content, kConfigLimit + 1)) {
        return Read::Unreadable;
    }
    if (content.size() > kConfigLimit) {
        return Read::TooLarge;
    }
    lines = LogonEdits::splitLines(content);
    return Read::Done;
}

bool writeLines(const std::string& path, const LogonEdits::Lines& lines) {
    return AtomicFile::replace(path, LogonEdits::joinLines(lines), 0644);
}

// Like mkdir -p, with mode 0755 for what it creates whatever the umask.
bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The regular file inside /etc/pam.d that `path` leads to, links and ".." resolved; empty for a
// relative path or anything else.
std::string pamFile(const std::string& path) {
    char resolved[PATH_MAX];
    char directory[PATH_MAX];
    if (path.empty() || path[0] != '/' || realpath(path.c_str(), resolved) == nullptr ||
        realpath(kPamDirectory, directory) == nullptr) {
        return {};
    }
    std::string file = resolved;
    std::string inside = std::string(directory) + "/";
    struct stat status {};
    if (file.compare(0, inside.size(), inside) != 0 || stat(file.c_str(), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        return {};
    }
    return file;
}

bool restartSssd() {
    int status = Command::run({"systemctl", "restart", "sssd"});
    if (status != 0) {
        KxLogger::log(LOG_ERR, "Не удалось перезапустить службу sssd");
        return false;
    }
    return true;
}

const std::string& text(const DBusServer::Arguments& args, size_t index) {
    return common::any_cast<std::string>(args[index]);
}

// Whether the call carried exactly two strings, each fit to stay one line of configuration (a
// line break would start a line of the caller's own); logs why not.
bool twoLines(const DBusServer::Arguments& args, const char* wrongType) {
    if (!MethodArguments::accepted(MethodArguments::check<std::string, std::string>(args),
                                   wrongType)) {
        return false;
    }
    if (LogonEdits::isOneLine(text(args, 0)) && LogonEdits::isOneLine(text(args, 1))) {
        return true;
    }
    KxLogger::log(LOG_ERR, "%s", wrongType);
    return false;
}

}  // namespace

common::any ControlService::setOrderApplets(Arguments& args) {
    if (!twoLines(args, "Не верные аргументы!")) {
        return kWrongArguments;
    }
    const std::string& order = text(args, 0);
    const std::string& images = text(args, 1);
    LogonEdits::Lines lines;
    switch (readLines(kLibraryConfig, lines)) {
        case Read::Unreadable:
            KxLogger::log(LOG_WARNING,
                          "Не удалось открыть конфигурационный файл ЕБ, он будет создан заново!");
            break;
        case Read::TooLarge:  // not to be replaced by two lines
            KxLogger::log(LOG_ERR, "Не создать конфигурационный файл ЕБ!");
            return kFileOrCommandFailed;
        case Read::Done:
            break;
    }
    LogonEdits::setAppletOrder(lines, order, images);
    if (!makeDirectories(kLibraryConfigDirectory)) {
        KxLogger::log(LOG_ERR, "Не смог создать /etc/xdg/HalvardLtd!");
        return kDirectoryFailed;
    }
    if (!writeLines(kLibraryConfig, lines)) {
        KxLogger::log(LOG_ERR, "Не создать конфигурационный файл ЕБ!");
        return kFileOrCommandFailed;
    }
    return kDone;
}

common::any ControlService::setAppletInPamConf(Arguments& args) {
    if (!MethodArguments::accepted(MethodArguments::check<std::string, std::string>(args),
                                   "Не верные аргументы!")) {
        return kWrongArguments;
    }
    const std::string& path = text(args, 0);
    const std::string& applet = text(args, 1);
    // Only PAM configuration: any other file root can write is not the caller's to edit.
    std::string file = pamFile(path);
    if (file.empty() || !LogonEdits::isOneLine(applet)) {
        KxLogger::log(LOG_ERR, "Не верные аргументы!");
        return kWrongArguments;
    }
    LogonEdits::Lines lines;
    if (readLines(file, lines) != Read::Done) {
        KxLogger::log(LOG_ERR, "Не удалось открыть файл %s", Common::printable(path).c_str());
        return kFileOrCommandFailed;
    }
    const LogonEdits::Lines before = lines;
    if (LogonEdits::setPamApplet(lines, applet) == 0 || lines == before) {
        KxLogger::log(LOG_INFO, "Файл %s не изменён: в нём нет аргументов applet= или все они "
                                "уже указывают этот апплет",
                      Common::printable(path).c_str());
        return kDone;  // nothing to write: the file keeps its inode, its time and its form
    }
    if (!writeLines(file, lines)) {
        KxLogger::log(LOG_ERR, "Не удалось создать файл %s", Common::printable(path).c_str());
        return kFileOrCommandFailed;
    }
    return kDone;
}

common::any ControlService::setTokenFilteringOptionsInSssdConf(Arguments& args) {
    if (!twoLines(args, "Не правильный тип аргументов!")) {
        return kWrongArguments;
    }
    const std::string& model = text(args, 0);
    const std::string& serial = text(args, 1);
    LogonEdits::Lines lines;
    if (readLines(kSssdConfig, lines) != Read::Done) {
        KxLogger::log(LOG_ERR, "Не удалось открыть конфигурационный файл sssd");
        return kFileOrCommandFailed;
    }
    if (LogonEdits::setTokenFilter(lines, model, serial) ==
        LogonEdits::FilterEdit::AlreadyPresent) {
        KxLogger::log(LOG_INFO, "Токен уже записан в конфигурационном файле sssd!");
        return kDone;
    }
    if (!writeLines(kSssdConfig, lines)) {
        KxLogger::log(LOG_ERR, "Не удалось открыть конфигурационный файл sssd");
        return kFileOrCommandFailed;
    }
    return restartSssd() ? kDone : kFileOrCommandFailed;
}

common::any ControlService::resetTokenFilteringOptionsInSssdConf(Arguments&) {
    LogonEdits::Lines lines;
    if (readLines(kSssdConfig, lines) != Read::Done) {
        KxLogger::log(LOG_ERR, "Не удалось открыть конфигурационный файл sssd");
        return kFileOrCommandFailed;
    }
    LogonEdits::removeTokenFilters(lines);
    if (!writeLines(kSssdConfig, lines)) {
        KxLogger::log(LOG_ERR, "Не удалось открыть конфигурационный файл sssd");
        return kFileOrCommandFailed;
    }
    return restartSssd() ? kDone : kFileOrCommandFailed;
}
