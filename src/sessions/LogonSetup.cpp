#include "sessions/LogonSetup.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/UntrustedFile.h"
#include "log/KxLogger.h"

namespace {

bool isMissing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

}  // namespace

LogonSetup::Logon LogonSetup::read(bool quiet) {
    int error = 0;
    for (const char* file : {kPamSystemAuth, kPamCommonAuth}) {
        std::string pamConfig;
        if (UntrustedFile::read(file, pamConfig, UntrustedFile::kDefaultLimit, &error)) {
            return {SessionMatch::authTypeOf(pamConfig), file};
        }
        if (!isMissing(error)) {
            if (!quiet) {
                KxLogger::log(LOG_ERR, "Не удалось прочитать файл %s, error code: %d, error: %s",
                              file, error, strerror(error));
            }
            return {std::nullopt, file};
        }
    }
    return {AuthType::NotConfigured, ""};  // no token logon on this machine
}

LogonSetup::AuthType LogonSetup::authType() {
    return read(true).type.value_or(AuthType::NotConfigured);
}

std::string LogonSetup::hostName() {
    char name[1024] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

std::string LogonSetup::domainName() {
    return SessionMatch::domainOf(hostName());
}
