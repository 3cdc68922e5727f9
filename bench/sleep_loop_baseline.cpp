// A loop that does nothing but sleep 5 ms per pass, as the daemon's slot loop does between its
// polls. bench/daemon_idle.py runs it beside the daemon: what it costs is the floor of any 5 ms
// polling loop on this machine, so the difference is the daemon's own work.
//   sleep_loop_baseline SECONDS

#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char* argv[]) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}
