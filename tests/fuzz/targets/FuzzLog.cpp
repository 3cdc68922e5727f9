// KxLogger for the fuzz targets: each record is formatted as the daemon would send it, checked,
// and dropped. Whatever the input, a record may hold only the control characters its format has
// and valid UTF-8, so fuzzed text can neither forge a record nor reach a terminal.

#include <syslog.h>

#include <cstdarg>

#include "Fuzz.h"
#include "log/Common.h"
#include "log/KxLogger.h"

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

void check(const char* format, const std::string& record) {
    size_t allowed[0x80] = {};
    for (const char* c = format; *c != '\0'; ++c) {
        if (isControl(static_cast<unsigned char>(*c))) {
            ++allowed[static_cast<unsigned char>(*c)];
        }
    }
    std::string rest;
    bool forged = false;
    for (unsigned char byte : record) {
        if (!isControl(byte)) {
            rest += static_cast<char>(byte);
        } else if (allowed[byte]-- == 0) {
            forged = true;
        }
    }
    if (forged || Common::printable(rest) != rest) {
        std::fprintf(stderr, "log record: %s\n", Common::printable(record).c_str());
    }
    REQUIRE(!forged);
    REQUIRE(Common::printable(rest) == rest);
}

}  // namespace

const char* KxLogger::prefix(int level) {
    return level == LOG_ERR       ? "[ERROR] "
           : level == LOG_WARNING ? "[WARNING] "
           : level == LOG_INFO    ? "[INFO] "
                                  : "";
}

void KxLogger::log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* record = nullptr;
    const int length = vasprintf(&record, format, args);
    va_end(args);
    if (length >= 0) {
        check(format, prefix(level) + std::string(record, static_cast<size_t>(length)));
        free(record);
    }
}

void KxLogger::prepareSignalSafeLogging() {}

void KxLogger::logFromSignalHandler(int, const char*, int) {}
