#include "watch/TicketRules.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

namespace {

size_t leadingDigits(const std::string& text, size_t from) {
    size_t end = from;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
        ++end;
    }
    return end - from;
}

// The digits without their leading zeros, so "02001" names the owner 2001.
std::string withoutLeadingZeros(const std::string& digits) {
    size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

}  // namespace

TicketRules::Verdict TicketRules::judge(const std::string& name, uid_t owner, nlink_t links) {
    const size_t prefixLength = std::strlen(kPrefix);
    const std::string ownerText = std::to_string(owner);
    // A prefix test: a name that goes on after the owner's uid (a suffix, or more digits)
    // also counts as right.
    if (name.compare(prefixLength, ownerText.size(), ownerText) == 0) {
        return {Action::Keep, ownerText, owner};
    }
    std::string uidText = name.substr(prefixLength, leadingDigits(name, prefixLength));
    if (uidText.empty()) {
        return {Action::NoUid, uidText, 0};
    }
    if (withoutLeadingZeros(uidText) == ownerText) {
        return {Action::Keep, uidText, owner};
    }
    uid_t uid = 0;
    if (!parseUid(uidText, uid)) {
        return {Action::InvalidUid, uidText, 0};
    }
    if (owner != 0) {
        return {Action::NotRoots, uidText, uid};
    }
    if (links > 1) {
        return {Action::Linked, uidText, uid};
    }
    return {Action::HandOver, uidText, uid};
}

bool TicketRules::parseUid(const std::string& text, uid_t& uid) {
    constexpr uint64_t kNoChange = std::numeric_limits<uid_t>::max();
    if (text.empty() || text.size() > 10 || text[0] == '0' ||
        leadingDigits(text, 0) != text.size()) {
        return false;
    }
    uint64_t value = std::stoull(text);
    if (value >= kNoChange) {
        return false;
    }
    uid = static_cast<uid_t>(value);
    return true;
}

int64_t TicketRules::pauseAfterScanMs(int32_t intervalMs, int64_t lastScanMs) {
    return std::max({static_cast<int64_t>(intervalMs), kMinPauseMs, lastScanMs});
}
