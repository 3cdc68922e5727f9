#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// How many records each source (a local user, by uid) may put into the log: a token bucket per
// source, kept as the time at which the bucket is full again, so it needs no timer. What a
// source was refused is counted and comes out as one summary per source and interval. Only
// decides; the caller logs.
class LogLimiter {
public:
    struct Settings {
        int64_t periodMs;           // a source sustains one record per period
        int64_t burst;              // records a source that was quiet may send at once
        int64_t summaryIntervalMs;  // at most one summary per source and interval
        size_t maxSources;          // beyond it, new sources share one bucket (kOverflow)
    };
    struct Summary {
        uint32_t source;
        uint64_t heldBack;
    };

    // Where the sources go that find the table full of busy ones.
    static constexpr uint32_t kOverflow = UINT32_MAX;

    explicit LogLimiter(Settings settings) : settings_(settings) {}

    // True when `records` more records of `source` may go out at `nowMs` (any monotonic
    // milliseconds); otherwise they are counted for the source's next summary.
    bool admit(uint32_t source, int64_t nowMs, unsigned records = 1);
    // The summaries due at `nowMs`: one for each source with records held back for an interval
    // since its previous summary (or since its first refusal). Each is handed out once.
    std::vector<Summary> due(int64_t nowMs);

private:
    struct Source {
        int64_t fullAtMs;  // the bucket is full again at this time; earlier it holds less
        uint64_t heldBack = 0;
        int64_t summaryAtMs = 0;  // when heldBack > 0
    };

    Source& find(uint32_t source, int64_t nowMs);

    Settings settings_;
    std::unordered_map<uint32_t, Source> sources_;
    int64_t nextSummaryMs_ = INT64_MAX;  // no summary is due before
};
