// KxLogger for the fuzz targets: a record is formatted as the daemon would send it and checked,
// then dropped, so no target writes to the host's system log. The check is the logging rule for
// untrusted values: whatever the input holds, a record carries no control character its format
// does not have, and no byte that is not valid UTF-8, so fuzzed text can neither end a record
// and forge another nor reach a terminal.

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/Common.h"
#include "log/KxLogger.h"

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

[[noreturn]] void reject(const char* why, const std::string& record) {
    std::fprintf(stderr, "log record %s: %s\n", why, Common::printable(record).c_str());
    std::abort();
}

void check(const char* format, const std::string& record) {
    size_t allowed[0x80] = {};
    for (const char* c = format; *c != '\0'; ++c) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (isControl(byte)) {
            ++allowed[byte];
        }
    }
    std::string rest;
    for (unsigned char byte : record) {
        if (!isControl(byte)) {
            rest += static_cast<char>(byte);
        } else if (allowed[byte]-- == 0) {
            reject("holds a control character of the input", record);
        }
    }
    if (Common::printable(rest) != rest) {
        reject("is not printable UTF-8", record);
    }
}

}  // namespace

const char* KxLogger::prefix(int level) {
    switch (level) {
        case LOG_ERR:
            return "[ERROR] ";
        case LOG_WARNING:
            return "[WARNING] ";
        case LOG_INFO:
            return "[INFO] ";
        default:
            return "";
    }
}

void KxLogger::log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list counting;
    va_copy(counting, args);
    int length = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    std::string record(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(record.data(), record.size() + 1, format, args);
    }
    va_end(args);
    check(format, prefix(level) + record);
}

void KxLogger::prepareSignalSafeLogging() {}

void KxLogger::logFromSignalHandler(int, const char*, int) {}
