#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "token/Token.h"

// Whether a PIN has expired or must be changed soon, decided from the lifetime policy a token
// reports and the time `now`, apart from the token. Dates are local calendar dates, normalised
// (27 February 2024 plus 5 days is 3 March), so a day is a calendar day also across a clock
// change. Both rules warn while the days left before the expiry date do not exceed the warning
// days, and name the expiry date in the message.
class TokenPinExpiry {
public:
    // Forte applets count the PIN's age in days themselves. A maximum age of 0 means no limit.
    static Token::PinResult forte(uint64_t maxAgeDays, uint64_t warningDays, uint64_t ageDays,
                                  std::time_t now);

    // Quill applets keep the date of the last change as 8 digits, YYYYMMDD; the PIN expires at
    // local midnight lifetimeDays after that date. A lifetime of 0, or no date after
    // 1 January 2014 (zero bytes, other characters, a month or day outside the calendar), means
    // no limit. Tomorrow's date counts as today (the token's zone may be ahead of ours); a
    // later one as expired: the token's clock or its record cannot be trusted then.
    static Token::PinResult quill(uint64_t lifetimeDays, const std::string& changeDate,
                                  uint64_t warningDays, std::time_t now);
    // Whether the change date has 8 digits after 20140101 but names no calendar day
    // (20261301, 20260230): worth a warning, as the token's record is damaged.
    static bool impossibleDate(const std::string& changeDate);

    // The greeter's daysForChangeNotification in the text of its configuration file: the first
    // line that sets it with 1 to 3 digits (of more, the first three count); nothing otherwise.
    static bool warningDaysFromGreeterConfig(const std::string& text, int& days);
};
