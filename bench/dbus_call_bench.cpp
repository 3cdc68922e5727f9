// Calls one method of the daemon over the system bus as fast as it is answered, from N clients
// at once (each its own connection and thread), and prints the round-trip times and the
// throughput. Run inside a test world with a running daemon; bench/dbus_service.py does that.
// With PAUSE_MS, each client pauses that long between its calls.
//   kx_dbus_call_bench METHOD CALLS_PER_CLIENT CLIENTS [TIMEOUT_MS [PAUSE_MS]]
// With --paced, one client calls CALLS times with that pause between the calls and prints each
// call as it ends, "<began> <ended>" in seconds of CLOCK_MONOTONIC (the clock of the test world's
// stamps), with " failed" after a call that got no answer; bench/removal_lock_latency.py picks
// the calls made while a removal waited:
//   kx_dbus_call_bench METHOD CALLS PAUSE_MS --paced
#include <dbus/dbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC with libstdc++

// Round trips in microseconds, or an empty list when a call failed.
std::vector<double> callRepeatedly(const char* method, int calls, int timeoutMs, int pauseMs) {
    std::vector<double> times;
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (connection == nullptr) {
        return times;
    }
    DBusMessage* call =
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", method);
    for (int i = 0; i < calls; ++i) {
        auto began = Clock::now();
        DBusMessage* reply =
            dbus_connection_send_with_reply_and_block(connection, call, timeoutMs, nullptr);
        auto ended = Clock::now();
        if (reply == nullptr) {
            times.clear();
            break;
        }
        dbus_message_unref(reply);
        times.push_back(std::chrono::duration<double, std::micro>(ended - began).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    dbus_message_unref(call);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return times;
}

double seconds(Clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

int callPaced(const char* method, int calls, int pauseMs) {
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (connection == nullptr) {
        std::fprintf(stderr, "no system bus\n");
        return 1;
    }
    DBusMessage* call =
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", method);
    for (int i = 0; i < calls; ++i) {
        auto began = Clock::now();
        DBusMessage* reply =
            dbus_connection_send_with_reply_and_block(connection, call, 30000, nullptr);
        auto ended = Clock::now();
        std::printf("%.6f %.6f%s\n", seconds(began), seconds(ended), reply ? "" : " failed");
        std::fflush(stdout);
        if (reply != nullptr) {
            dbus_message_unref(reply);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    dbus_message_unref(call);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * (values.size() - 1))];
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 5 && std::string(argv[4]) == "--paced") {
        return callPaced(argv[1], std::atoi(argv[2]), std::atoi(argv[3]));
    }
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr,
                     "usage: %s METHOD CALLS_PER_CLIENT CLIENTS [TIMEOUT_MS [PAUSE_MS]]\n"
                     "       %s METHOD CALLS PAUSE_MS --paced\n",
                     argv[0], argv[0]);
        return 2;
    }
    const char* method = argv[1];
    int calls = std::atoi(argv[2]);
    int clients = std::atoi(argv[3]);
    int timeoutMs = argc >= 5 ? std::atoi(argv[4]) : 5000;
    int pauseMs = argc == 6 ? std::atoi(argv[5]) : 0;
    dbus_threads_init_default();
    // Warm-up: connection set-up, caches, the daemon's first calls.
    callRepeatedly(method, 20, timeoutMs, 0);

    std::vector<std::vector<double>> results(clients);
    std::vector<std::thread> threads;
    auto began = Clock::now();
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&results, i, method, calls, timeoutMs, pauseMs] {
            results[i] = callRepeatedly(method, calls, timeoutMs, pauseMs);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - began).count();

    std::vector<double> all;
    for (const std::vector<double>& times : results) {
        if (times.empty()) {
            std::fprintf(stderr, "a call of %s failed\n", method);
            return 1;
        }
        all.insert(all.end(), times.begin(), times.end());
    }
    std::printf("%s %zu %.1f %.1f %.1f %.0f\n", method, all.size(), percentile(all, 0.5),
                percentile(all, 0.9), percentile(all, 0.99), all.size() / seconds);
    return 0;
}
