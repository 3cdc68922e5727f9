// The soak run's clients: kx_soak_client N makes N connections to the system bus, each on its
// own thread, calling "allTokens" and "lastDateUpdate" in turn, back to back, until standard input
// ends. Every token list must decode with the project's decoder into valid records in ascending
// slot order; every last-update time must be an int64 that never goes back. Prints the counts and
// exits non-zero when a call went unanswered or a reply was not valid.
#include <dbus/dbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "token/Token.h"

namespace {

// A removal holds the store for up to the lock wait and its fallback: well under this.
constexpr int kReplyTimeoutMs = 30000;

using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

std::atomic<bool> gRunning{true};
std::mutex gMutex;
uint64_t gTokenLists = 0, gUpdateTimes = 0, gUnanswered = 0, gInvalid = 0;
double gSlowestMs = 0;
std::string gFirstProblem;

void note(uint64_t& count, double ms, const std::string& problem = "") {
    std::lock_guard<std::mutex> lock(gMutex);
    ++count;
    gSlowestMs = std::max(gSlowestMs, ms);
    gFirstProblem = gFirstProblem.empty() ? problem : gFirstProblem;
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
        auto slot = static_cast<int64_t>(Token::Info::reciveData(&array, &valid).slotId);
        if (!valid || slot <= previousSlot) {
            return false;
        }
        previousSlot = slot;
    }
    return !dbus_message_iter_next(&iter);
}

void callUntilStopped() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr) {
        note(gUnanswered, 0, std::string("no bus: ") + error.message);
        return dbus_error_free(&error);
    }
    dbus_int64_t lastUpdate = 0;
    for (bool tokens = true; gRunning; tokens = !tokens) {
        const char* method = tokens ? "allTokens" : "lastDateUpdate";
        const Message request(
            dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", method),
            dbus_message_unref);
        const auto began = std::chrono::steady_clock::now();
        const Message reply(dbus_connection_send_with_reply_and_block(connection, request.get(),
                                                                      kReplyTimeoutMs, &error),
                            dbus_message_unref);
        const std::chrono::duration<double, std::milli> ms =
            std::chrono::steady_clock::now() - began;
        dbus_int64_t time = 0;
        if (!reply) {
            note(gUnanswered, ms.count(), std::string(method) + ": " + error.message);
            dbus_error_free(&error);
        } else if (tokens ? validTokenList(reply.get())
                          : dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_INT64, &time,
                                                  DBUS_TYPE_INVALID) &&
                                time >= lastUpdate) {
            lastUpdate = tokens ? lastUpdate : time;
            note(tokens ? gTokenLists : gUpdateTimes, ms.count());
        } else {
            note(gInvalid, ms.count(),
                 std::string(method) + ": invalid reply, signature " +
                     dbus_message_get_signature(reply.get()));
        }
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

}  // namespace

int main(int argc, char* argv[]) {
    dbus_threads_init_default();
    std::vector<std::thread> clients;
    for (int i = argc == 2 ? std::atoi(argv[1]) : 0; i > 0; --i) {
        clients.emplace_back(callUntilStopped);
    }
    std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    gRunning = false;
    for (std::thread& client : clients) {
        client.join();
    }
    dbus_shutdown();  // so the sanitizer build sees no leak
    std::cout << "allTokens " << gTokenLists << " lastDateUpdate " << gUpdateTimes << " unanswered "
              << gUnanswered << " invalid " << gInvalid << " slowest_ms " << std::fixed
              << std::setprecision(1) << gSlowestMs << "\n";
    if (!gFirstProblem.empty()) {
        std::cout << "first problem: " << gFirstProblem << "\n";
    }
    return !clients.empty() && gUnanswered == 0 && gInvalid == 0 ? 0 : 1;
}
