#include "log/LogLimiter.h"

#include <algorithm>

LogLimiter::Source& LogLimiter::find(uint32_t source, int64_t nowMs) {
    auto known = sources_.find(source);
    if (known != sources_.end()) {
        return known->second;
    }
    if (sources_.size() >= settings_.maxSources) {
        // A source with a full bucket and nothing to report is as good as a new one.
        for (auto at = sources_.begin(); at != sources_.end();) {
            bool idle = at->second.fullAtMs <= nowMs && at->second.heldBack == 0;
            at = idle ? sources_.erase(at) : std::next(at);
        }
        if (sources_.size() >= settings_.maxSources) {
            source = kOverflow;
        }
    }
    return sources_.try_emplace(source, Source{nowMs}).first->second;
}

bool LogLimiter::admit(uint32_t source, int64_t nowMs, unsigned records) {
    Source& entry = find(source, nowMs);
    int64_t fullAtMs = std::max(entry.fullAtMs, nowMs) + settings_.periodMs * records;
    if (fullAtMs - nowMs <= settings_.periodMs * settings_.burst) {
        entry.fullAtMs = fullAtMs;
        return true;
    }
    if (entry.heldBack == 0) {
        entry.summaryAtMs = nowMs + settings_.summaryIntervalMs;
        nextSummaryMs_ = std::min(nextSummaryMs_, entry.summaryAtMs);
    }
    entry.heldBack += records;
    return false;
}

std::vector<LogLimiter::Summary> LogLimiter::due(int64_t nowMs) {
    std::vector<Summary> summaries;
    if (nowMs < nextSummaryMs_) {
        return summaries;
    }
    nextSummaryMs_ = INT64_MAX;
    for (auto& [source, entry] : sources_) {
        if (entry.heldBack == 0) {
            continue;
        }
        if (entry.summaryAtMs <= nowMs) {
            summaries.push_back({source, entry.heldBack});
            entry.heldBack = 0;
        } else {
            nextSummaryMs_ = std::min(nextSummaryMs_, entry.summaryAtMs);
        }
    }
    return summaries;
}
