// The soak run's clients: kx_soak_client N makes N connections to the system bus, each on its
// own thread, calling "allTokens" and "lastDateUpdate" in turn, back to back, until standard input
// ends. Every token list must decode with the project's decoder into valid records in ascending
// slot order; every last-update time must be an int64 that never goes back. Prints the counts and
// exits non-zero when a call went unanswered or a reply was not valid.
#include <dbus/dbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "token/Token.h"

namespace {

// A removal holds the store for up to the lock wait and its fallback: well under this.
constexpr int kReplyTimeoutMs = 30000;

std::atomic<bool> gRunning{true};
std::mutex gMutex;
uint64_t gTokenLists = 0, gUpdateTimes = 0, gUnanswered = 0, gInvalid = 0;
double gSlowestMs = 0;
std::string gFirstProblem;

void note(uint64_t& count, double ms, const std::string& problem) {
    std::lock_guard<std::mutex> lock(gMutex);
    ++count;
    gSlowestMs = std::max(gSlowestMs, ms);
    if (gFirstProblem.empty()) {
        gFirstProblem = problem;
    }
}

bool validTokenList(DBusMessage* reply) {
    DBusMessageIter iter;
    DBusMessageIter array;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY) {
        return false;
    }
    int64_t previousSlot = -1;
    for (dbus_message_iter_recurse(&iter, &array);
         dbus_message_iter_get_arg_type(&array) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(&array)) {
        bool valid = false;
        const auto slot = static_cast<int64_t>(Token::Info::reciveData(&array, &valid).slotId);
        if (!valid || slot <= previousSlot) {
            return false;
        }
        previousSlot = slot;
    }
    return !dbus_message_iter_next(&iter);
}

bool validUpdateTime(DBusMessage* reply, dbus_int64_t& last) {
    dbus_int64_t time = 0;
    if (!dbus_message_get_args(reply, nullptr, DBUS_TYPE_INT64, &time, DBUS_TYPE_INVALID) ||
        time < last) {
        return false;
    }
    last = time;
    return true;
}

void callUntilStopped() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr) {
        note(gUnanswered, 0, std::string("no bus: ") + error.message);
        dbus_error_free(&error);
        return;
    }
    dbus_int64_t lastUpdate = 0;
    for (bool tokens = true; gRunning; tokens = !tokens) {
        const char* method = tokens ? "allTokens" : "lastDateUpdate";
        DBusMessage* request =
            dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", method);
        const auto began = std::chrono::steady_clock::now();
        DBusMessage* reply =
            dbus_connection_send_with_reply_and_block(connection, request, kReplyTimeoutMs, &error);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count();
        if (reply == nullptr) {
            note(gUnanswered, ms, std::string(method) + ": " + error.message);
            dbus_error_free(&error);
        } else if (tokens ? !validTokenList(reply) : !validUpdateTime(reply, lastUpdate)) {
            note(gInvalid, ms,
                 std::string(method) + ": invalid reply, signature " +
                     dbus_message_get_signature(reply));
        } else {
            note(tokens ? gTokenLists : gUpdateTimes, ms, "");
        }
        dbus_message_unref(request);
        if (reply != nullptr) {
            dbus_message_unref(reply);
        }
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 || std::atoi(argv[1]) < 1) {
        std::cerr << "usage: " << argv[0] << " CLIENTS\n";
        return 2;
    }
    dbus_threads_init_default();
    std::vector<std::thread> clients;
    for (int i = std::atoi(argv[1]); i > 0; --i) {
        clients.emplace_back(callUntilStopped);
    }
    std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    gRunning = false;
    for (std::thread& client : clients) {
        client.join();
    }
    dbus_shutdown();  // so the sanitizer build sees no leak
    std::printf("allTokens %llu lastDateUpdate %llu unanswered %llu invalid %llu slowest_ms %.1f\n",
                static_cast<unsigned long long>(gTokenLists),
                static_cast<unsigned long long>(gUpdateTimes),
                static_cast<unsigned long long>(gUnanswered),
                static_cast<unsigned long long>(gInvalid), gSlowestMs);
    if (!gFirstProblem.empty()) {
        std::printf("first problem: %s\n", gFirstProblem.c_str());
    }
    return gUnanswered == 0 && gInvalid == 0 ? 0 : 1;
}
