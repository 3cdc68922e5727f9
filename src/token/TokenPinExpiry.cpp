#include "token/TokenPinExpiry.h"

#include <algorithm>

#include "base/Common.h"

namespace {

constexpr uint64_t kPinMustBeChanged = 0xa3;
const char kGreeterSetting[] = "daysForChangeNotification";

// Policies come from the token: a day count beyond this (about 2700 years) is treated as this,
// so date arithmetic stays within int and mktime.
constexpr uint64_t kMaxDays = 1000000;

int clampedDays(uint64_t days) {
    return static_cast<int>(std::min(days, kMaxDays));
}

// Local midnight of the calendar date `days` after the given one, normalised by mktime.
std::time_t localMidnight(int year, int month, int day, uint64_t days) {
    std::tm date{};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day + clampedDays(days);
    date.tm_isdst = -1;
    return std::mktime(&date);
}

std::time_t localMidnight(std::time_t time, uint64_t days) {
    std::tm date{};
    localtime_r(&time, &date);
    return localMidnight(date.tm_year + 1900, date.tm_mon + 1, date.tm_mday, days);
}

Token::PinResult expired() {
    return {Token::PinState::Expired, Token::returnCodeText(kPinMustBeChanged)};
}

Token::PinResult changeBefore(std::time_t expiry) {
    std::tm date{};
    localtime_r(&expiry, &date);
    char text[160];
    std::strftime(text, sizeof(text), "Внимание! Необходимо сменить PIN-код до %d-%m-%Y!", &date);
    return {Token::PinState::ChangeSoon, text};
}

// ChangeSoon from the day whose date plus the warning days reaches the expiry date.
Token::PinResult warnBefore(std::time_t expiry, uint64_t warningDays, std::time_t now) {
    if (expiry <= localMidnight(now, warningDays)) {
        return changeBefore(expiry);
    }
    return {Token::PinState::Ok, ""};
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Matches daysForChangeNotification\s*=\s*(\d{1,3}) at `at`. Written out rather than with
// std::regex, whose matcher recurses once per character and overflows the stack on a long run
// of blanks.
bool matchSetting(const std::string& line, size_t at, int& days) {
    size_t i = at + sizeof(kGreeterSetting) - 1;
    while (i < line.size() && Common::isSpace(line[i])) {
        ++i;
    }
    if (i >= line.size() || line[i] != '=') {
        return false;
    }
    ++i;
    while (i < line.size() && Common::isSpace(line[i])) {
        ++i;
    }
    size_t end = i;
    while (end < line.size() && end - i < 3 && isDigit(line[end])) {
        ++end;
    }
    if (end == i) {
        return false;
    }
    days = std::stoi(line.substr(i, end - i));
    return true;
}

// The 8 digits of a change date after 1 January 2014 (earlier ones, zero bytes and other
// characters mean no date), not yet checked against the calendar.
bool readDate(const std::string& text, int& year, int& month, int& day) {
    if (text.size() != 8 || !std::all_of(text.begin(), text.end(), isDigit)) {
        return false;
    }
    int date = std::stoi(text);
    year = date / 10000, month = date / 100 % 100, day = date % 100;
    return date > 20140101;
}

// mktime would make a real date of any other: 20261301 into 1 January 2027.
bool isCalendarDate(int year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace

Token::PinResult TokenPinExpiry::forte(uint64_t maxAgeDays, uint64_t warningDays, uint64_t ageDays,
                                       std::time_t now) {
    if (maxAgeDays == 0) {
        return {Token::PinState::Ok, ""};
    }
    if (ageDays >= maxAgeDays) {
        return expired();
    }
    // Compared as counts rather than as age plus warning days, which could overflow.
    uint64_t daysLeft = maxAgeDays - ageDays;
    if (warningDays >= daysLeft) {
        return changeBefore(localMidnight(now, daysLeft));
    }
    return {Token::PinState::Ok, ""};
}

Token::PinResult TokenPinExpiry::quill(uint64_t lifetimeDays, const std::string& changeDate,
                                       uint64_t warningDays, std::time_t now) {
    int year = 0, month = 0, day = 0;
    if (lifetimeDays == 0 || !readDate(changeDate, year, month, day) ||
        !isCalendarDate(year, month, day)) {
        return {Token::PinState::Ok, ""};
    }
    std::time_t changed = localMidnight(year, month, day, 0);
    std::time_t expiry = localMidnight(year, month, day, lifetimeDays);
    if (now < changed) {
        // Tomorrow by our clock is a change just after midnight in a zone ahead of ours: it
        // counts as made today. A later date cannot be trusted.
        if (changed > localMidnight(now, 1)) {
            return expired();
        }
        expiry = localMidnight(now, lifetimeDays);
    }
    if (now >= expiry) {
        return expired();
    }
    return warnBefore(expiry, warningDays, now);
}

bool TokenPinExpiry::impossibleDate(const std::string& changeDate) {
    int year = 0, month = 0, day = 0;
    return readDate(changeDate, year, month, day) && !isCalendarDate(year, month, day);
}

bool TokenPinExpiry::warningDaysFromGreeterConfig(const std::string& text, int& days) {
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        std::string line = text.substr(lineStart, lineEnd - lineStart);
        for (size_t at = line.find(kGreeterSetting); at != std::string::npos;
             at = line.find(kGreeterSetting, at + 1)) {
            if (matchSetting(line, at, days)) {
                return true;
            }
        }
        lineStart = lineEnd + 1;
    }
    return false;
}
