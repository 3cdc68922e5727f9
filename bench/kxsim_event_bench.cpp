// Cost of the daemon's slot poll: one C_WaitForSlotEvent(CKF_DONT_BLOCK) when nothing has
// changed, with 1 and with 16 tokens inserted, called back to back; and called as the daemon's
// loop calls it, once after each 5 ms sleep, when whatever else the machine ran meanwhile has
// pushed the library's code and data out of the caches. Each call is timed on its own, so the
// figures are a distribution, not an average. Token directories live under the build tree.
//   kxsim_event_bench [--json]

#include "BenchReport.h"
#include "kxpkcs11.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kCalls = 200000;
constexpr int kCallsAfterSleep = 1000;
constexpr auto kLoopPause = std::chrono::milliseconds(5);
constexpr double kDaemonCallsPerSecond = 200.0;  // one poll every 5 ms
constexpr double kTargetUs = 20.0;

double nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

void insertTokens(const fs::path& dir, int count) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        std::ofstream(dir / std::to_string(1000 + i))
            << "label = bench " << i << "\nmodel = Korvex Quill\nisd = KX123\n"
            << "profile = user" << i << "@example.org\n";
    }
}

double percentile(const std::vector<double>& sorted, double fraction) {
    return sorted[static_cast<size_t>(fraction * (sorted.size() - 1))];
}

bool measure(int tokens, bool afterSleep, BenchReport& report) {
    fs::path dir = fs::path(KXSIM_BENCH_DIR) / ("tokens-" + std::to_string(tokens));
    insertTokens(dir, tokens);
    setenv("KXSIM_TOKEN_DIR", dir.c_str(), 1);
    if (C_Initialize(nullptr) != CKR_OK) {
        std::fprintf(stderr, "C_Initialize failed\n");
        return false;
    }
    const int calls = afterSleep ? kCallsAfterSleep : kCalls;
    std::vector<double> samples;
    samples.reserve(calls);
    CK_SLOT_ID slot = 0;
    bool quiet = true;
    for (int i = 0; i < calls; ++i) {
        if (afterSleep) {
            std::this_thread::sleep_for(kLoopPause);
        }
        double start = nowNs();
        CK_RV rv = C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
        samples.push_back(nowNs() - start);
        quiet = quiet && rv == CKR_NO_EVENT;
    }
    C_Finalize(nullptr);
    fs::remove_all(dir);
    if (!quiet) {
        std::fprintf(stderr, "an event came although nothing changed\n");
        return false;
    }
    std::sort(samples.begin(), samples.end());
    double median = percentile(samples, 0.5);
    double p99 = percentile(samples, 0.99);
    report.say(
        "%2d token(s), %d calls%s: median %6.2f us  p90 %6.2f us  p99 %6.2f us  "
        "p99.9 %7.2f us  max %8.2f us  -> %.4f%% of a core at %g calls/s\n",
        tokens, calls, afterSleep ? " each after a 5 ms sleep" : "", median / 1e3,
        percentile(samples, 0.9) / 1e3, p99 / 1e3, percentile(samples, 0.999) / 1e3,
        samples.back() / 1e3, median * kDaemonCallsPerSecond / 1e9 * 100, kDaemonCallsPerSecond);
    char note[160];
    std::snprintf(note, sizeof(note), "median %.2f us, p99.9 %.2f us, max %.0f us", median / 1e3,
                  percentile(samples, 0.999) / 1e3, samples.back() / 1e3);
    if (afterSleep) {
        std::snprintf(note, sizeof(note), "p99 %.2f us; at 200 calls a second %.4f%% of a core",
                      p99 / 1e3, median * kDaemonCallsPerSecond / 1e9 * 100);
        report.figure("C_WaitForSlotEvent, no change, after a 5 ms sleep, median", median / 1e3,
                      "us", kTargetUs, "max", note);
    } else {
        report.figure("C_WaitForSlotEvent, no change, " + std::to_string(tokens) +
                          (tokens == 1 ? " token, p99" : " tokens, p99"),
                      p99 / 1e3, "us", kTargetUs, "max", note);
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    BenchReport report("kxsim_event", argc, argv);
    report.say("C_WaitForSlotEvent(CKF_DONT_BLOCK) with no change (target: p99 <= %g us)\n",
               kTargetUs);
    bool ok = measure(1, false, report) && measure(16, false, report) && measure(1, true, report);
    report.finish();
    return ok ? 0 : 1;
}
