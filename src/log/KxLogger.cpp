#include "log/KxLogger.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

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
    // The prefix becomes part of the format, so the caller's arguments fill it unchanged.
    std::string combined = prefix(level);
    combined += format;
    va_list args;
    va_start(args, format);
    vsyslog(LOG_LOCAL7 | level, combined.c_str(), args);
    va_end(args);
}

namespace {

char gIdent[64] = "kxsentrixd";
long gUtcOffsetSeconds = 0;

// A fixed-size text builder that only touches its own buffer.
struct SafeText {
    char data[512];
    size_t length = 0;

    void add(char c) {
        if (length + 1 < sizeof(data)) {
            data[length++] = c;
        }
    }
    void add(const char* text) {
        for (; *text != '\0'; ++text) {
            add(*text);
        }
    }
    void addNumber(long value, int minDigits = 1, char pad = '0') {
        char digits[24];
        int count = 0;
        bool negative = value < 0;
        unsigned long rest =
            negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0 && count < 22);
        if (negative) {
            add("-");
        }
        for (int i = count; i < minDigits; ++i) {
            add(pad);
        }
        while (count > 0) {
            add(digits[--count]);
        }
    }
};

// Local time as syslog shows it ("Dec  6 09:15:54"), from the offset captured at start-up.
void addTimestamp(SafeText& text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long seconds = static_cast<long>(time(nullptr)) + gUtcOffsetSeconds;
    long days = seconds / 86400;
    long daySeconds = seconds % 86400;
    // Civil date from days since the epoch (proleptic Gregorian calendar).
    long z = days + 719468;
    long era = (z >= 0 ? z : z - 146096) / 146097;
    long dayOfEra = z - era * 146097;
    long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long shiftedMonth = (5 * dayOfYear + 2) / 153;
    long day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    long month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    text.add(kMonths[month - 1]);
    text.add(" ");
    text.addNumber(day, 2, ' ');
    text.add(" ");
    text.addNumber(daySeconds / 3600, 2);
    text.add(":");
    text.addNumber(daySeconds / 60 % 60, 2);
    text.add(":");
    text.addNumber(daySeconds % 60, 2);
}

}  // namespace

void KxLogger::prepareSignalSafeLogging() {
    std::strncpy(gIdent, program_invocation_short_name, sizeof(gIdent) - 1);
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    gUtcOffsetSeconds = local.tm_gmtoff;
}

void KxLogger::logFromSignalHandler(int level, const char* format, int number) {
    int savedErrno = errno;
    SafeText record;
    record.add("<");
    record.addNumber(LOG_LOCAL7 | level);
    record.add(">");
    addTimestamp(record);
    record.add(" ");
    record.add(gIdent);
    record.add(": ");
    record.add(prefix(level));
    // The one conversion such a format holds: "%d" stands for the number.
    for (const char* at = format; *at != '\0'; ++at) {
        if (at[0] == '%' && at[1] == 'd') {
            record.addNumber(number);
            ++at;
        } else {
            record.add(*at);
        }
    }

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, _PATH_LOG, sizeof(address.sun_path) - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            (void)send(fd, record.data, record.length, MSG_NOSIGNAL);
        }
        close(fd);
    }
    errno = savedErrno;
}
