// A loop that does nothing but sleep 5 ms per pass, as the daemon's slot loop does between its
// polls. bench/daemon_idle.py runs it beside the daemon: what it costs is the floor of any 5 ms
// polling loop on this machine, so the difference is the daemon's own work. bench/benchlib.py
// runs it as a probe beside the latency benchmarks: how late its wake-ups come is what the
// machine adds to any reaction that waits for the next pass.
//   kx_sleep_loop_baseline SECONDS [--json]
// SECONDS 0 runs until SIGTERM or SIGINT. With --json it prints, when it ends, one line with the
// number of passes and how late the wake-ups came (microseconds past the 5 ms).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPause = std::chrono::milliseconds(5);

std::atomic<bool> gStop{false};

void onStop(int) {
    gStop = true;
}

double percentile(const std::vector<double>& sorted, double share) {
    return sorted.empty() ? 0.0 : sorted[static_cast<size_t>(share * (sorted.size() - 1))];
}

}  // namespace

int main(int argc, char* argv[]) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    bool json = argc > 2 && std::strcmp(argv[2], "--json") == 0;
    struct sigaction action {};
    action.sa_handler = onStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::vector<double> lateUs;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!gStop && (seconds == 0 || Clock::now() < end)) {
        auto before = Clock::now();
        std::this_thread::sleep_for(kPause);
        if (json) {
            lateUs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - before - kPause).count());
        }
    }
    if (json) {
        std::sort(lateUs.begin(), lateUs.end());
        std::printf(
            "{\"passes\": %zu, \"late_p50_us\": %.1f, \"late_p99_us\": %.1f, \"late_max_us\": "
            "%.1f}\n",
            lateUs.size(), percentile(lateUs, 0.5), percentile(lateUs, 0.99),
            lateUs.empty() ? 0.0 : lateUs.back());
    }
    return 0;
}
