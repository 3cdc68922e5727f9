#include "log/SyslogSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// Room for the records the log has not read yet: a burst (a removal with debug lines) must not
// find the buffer full while the log daemon catches up. Root may go past the system's default.
constexpr int kSendBufferBytes = 1 << 20;
// How often the offset of local time from UTC is read again (a DST change takes effect within).
constexpr time_t kZoneCheckSeconds = 900;
// How soon a record waiting for a log that is not there looks for it again.
constexpr int64_t kNoLogPauseMs = 20;

std::atomic<int> gSocket{-1};
// The UTC offset and the quarter hour it was read in, packed in one word, so that every thread
// and a signal handler see a matching pair: (quarter << 32) | offset as 32 bits.
std::atomic<int64_t> gZone{-1};

int logSocket() {
    int fd = gSocket.load(std::memory_order_acquire);
    if (fd >= 0) {
        return fd;
    }
    int made = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (made < 0) {
        return -1;
    }
    int size = kSendBufferBytes;
    if (setsockopt(made, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0) {
        (void)setsockopt(made, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    }
    // Two threads may get here at once: one socket is kept, the other closed.
    if (!gSocket.compare_exchange_strong(fd, made, std::memory_order_acq_rel)) {
        close(made);
        return fd;
    }
    return made;
}

// The local time's offset from UTC at `now`. localtime_r takes the C library's time zone lock,
// so it is asked once per quarter hour at most, and never from a signal handler.
long utcOffset(time_t now, bool mayAsk) {
    int64_t zone = gZone.load(std::memory_order_relaxed);
    int64_t quarter = now / kZoneCheckSeconds;
    if ((zone >> 32) != quarter && mayAsk) {
        struct tm local {};
        localtime_r(&now, &local);
        zone = (quarter << 32) | static_cast<uint32_t>(static_cast<int32_t>(local.tm_gmtoff));
        gZone.store(zone, std::memory_order_relaxed);
    }
    return zone < 0 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(zone));
}

// A text builder on a caller's buffer that only touches that buffer: usable in a signal handler.
class Text {
public:
    Text(char* data, size_t capacity) : data_(data), capacity_(capacity) {}

    const char* data() const { return data_; }
    size_t length() const { return length_; }

    void add(char c) {
        if (length_ + 1 < capacity_) {
            data_[length_++] = c;
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
        unsigned long rest =
            value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0 && count < 22);
        if (value < 0) {
            add('-');
        }
        for (int i = count; i < minDigits; ++i) {
            add(pad);
        }
        while (count > 0) {
            add(digits[--count]);
        }
    }

private:
    char* data_;
    size_t capacity_;
    size_t length_ = 0;
};

// "<priority>Mmm dd hh:mm:ss ident: ", as syslog(3) writes it (strftime's "%h %e %T" in the C
// locale), for local time at `now` with the given offset.
void addHeader(Text& text, int priority, time_t now, long offset) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    text.add('<');
    text.addNumber(priority);
    text.add('>');
    long seconds = static_cast<long>(now) + offset;
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
    text.add(' ');
    text.addNumber(day, 2, ' ');
    text.add(' ');
    text.addNumber(daySeconds / 3600, 2);
    text.add(':');
    text.addNumber(daySeconds / 60 % 60, 2);
    text.add(':');
    text.addNumber(daySeconds % 60, 2);
    text.add(' ');
    text.add(program_invocation_short_name);
    text.add(": ");
}

time_t realTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

sockaddr_un logAddress() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, _PATH_LOG, sizeof(address.sun_path) - 1);
    return address;
}

bool deliver(const char* data, size_t length) {
    int fd = logSocket();
    if (fd < 0) {
        return false;
    }
    sockaddr_un address = logAddress();
    ssize_t sent = sendto(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return sent == static_cast<ssize_t>(length);
}

// The writer's blocking socket: a send on it waits in line with the log's other senders for
// room, which retrying sends that do not wait would rarely find while others keep it full.
int waitingSocket() {
    static int fd = -1;
    if (fd < 0) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = kSendBufferBytes;
        if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0) {
            (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        }
    }
    return fd;
}

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::string SyslogSocket::record(int priority, const char* format, va_list args) {
    int savedErrno = errno;
    char header[256];
    Text text(header, sizeof(header));
    time_t now = realTime();
    addHeader(text, priority, now, utcOffset(now, true));
    std::string datagram(text.data(), text.length());
    va_list again;
    va_copy(again, args);
    char buffer[1024];
    int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
    if (length >= 0 && static_cast<size_t>(length) < sizeof(buffer)) {
        datagram.append(buffer, static_cast<size_t>(length));
    } else if (length >= 0) {
        // As syslog(3), no length limit of its own: what the socket takes goes out whole.
        std::vector<char> large(static_cast<size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        datagram.append(large.data(), static_cast<size_t>(length));
    }
    va_end(again);
    errno = savedErrno;
    return datagram;
}

bool SyslogSocket::send(const std::string& record) {
    int savedErrno = errno;
    bool sent = deliver(record.data(), record.size());
    errno = savedErrno;
    return sent;
}

bool SyslogSocket::sendWaiting(const std::string& record, int timeoutMs) {
    int savedErrno = errno;
    const int64_t deadline = monotonicMs() + timeoutMs;
    const sockaddr_un address = logAddress();
    bool sent = false;
    for (int64_t left = timeoutMs; !sent && left > 0; left = deadline - monotonicMs()) {
        int fd = waitingSocket();
        timeval wait{static_cast<time_t>(left / 1000),
                     static_cast<suseconds_t>(left % 1000 * 1000)};
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait)) != 0) {
            break;
        }
        ssize_t count = sendto(fd, record.data(), record.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        sent = count == static_cast<ssize_t>(record.size());
        if (!sent && count < 0 && errno != EINTR && errno != EAGAIN) {
            // No log to send to (gone, or not started yet): looked for again shortly.
            poll(nullptr, 0, static_cast<int>(std::min<int64_t>(left, kNoLogPauseMs)));
        }
    }
    errno = savedErrno;
    return sent;
}

bool SyslogSocket::sendFromSignalHandler(int priority, const char* prefix, const char* format,
                                         int number) {
    int savedErrno = errno;
    char buffer[512];
    Text record(buffer, sizeof(buffer));
    time_t now = realTime();
    addHeader(record, priority, now, utcOffset(now, false));
    record.add(prefix);
    // The one conversion such a format holds: "%d" stands for the number.
    for (const char* at = format; *at != '\0'; ++at) {
        if (at[0] == '%' && at[1] == 'd') {
            record.addNumber(number);
            ++at;
        } else {
            record.add(*at);
        }
    }
    bool sent = deliver(record.data(), record.length());
    errno = savedErrno;
    return sent;
}

void SyslogSocket::prepare() {
    (void)logSocket();
    (void)utcOffset(realTime(), true);
}
