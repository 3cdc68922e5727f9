// The log for the fuzz targets: each record is formatted as the daemon would send it, checked,
// and dropped. Whatever the input, a record may hold only the control characters its format has
// and valid UTF-8, so fuzzed text can neither forge a record nor reach a terminal.

#include <algorithm>
#include <cstdarg>
#include <iterator>

#include "Fuzz.h"
#include "base/Common.h"
#include "log/SyslogSocket.h"

namespace {

void check(const std::string& format, const std::string& record) {
    // Control characters other than DEL may come from the format; the rest must be printable.
    std::string rest;
    std::copy_if(record.begin(), record.end(), std::back_inserter(rest),
                 [](unsigned char c) { return c >= 0x20; });
    bool sound = Common::printable(rest) == rest;
    for (char c = 0; c < 0x20; ++c) {
        sound = sound && std::count(record.begin(), record.end(), c) <=
                             std::count(format.begin(), format.end(), c);
    }
    if (!sound) {
        std::fprintf(stderr, "log record: %s\n", Common::printable(record).c_str());
    }
    REQUIRE(sound);
}

}  // namespace

// KxLogger hands its records to SyslogSocket: this one checks them and takes them instead of
// /dev/log.
std::string SyslogSocket::record(int, const char* format, va_list args) {
    char* record = nullptr;
    const int length = vasprintf(&record, format, args);
    std::string text;
    if (length >= 0) {
        text.assign(record, static_cast<size_t>(length));
        check(format, text);
        free(record);
    }
    return text;
}

bool SyslogSocket::send(const std::string&) {
    return true;
}

bool SyslogSocket::sendWaiting(const std::string&, int) {
    return true;
}

bool SyslogSocket::sendFromSignalHandler(int, const char*, const char*, int) {
    return true;
}

void SyslogSocket::prepare() {}
