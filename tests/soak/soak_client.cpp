// The clients of the soak run: N connections to the system bus, each on its own thread, calling
// "allTokens" and "lastDateUpdate" in turn, back to back, until standard input ends. Every token
// list is decoded with the project's own decoder and must hold valid records in ascending slot
// order; every last-update time must be an int64 that never goes back. Prints one line of
// counts at the end and exits non-zero when a call went unanswered or a reply was not valid.
//   kx_soak_client CLIENTS
#include <dbus/dbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "token/Token.h"

namespace {

// A removal holds the store for up to the lock wait and its fallback: well under this.
constexpr int kReplyTimeoutMs = 30000;

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

struct Counts {
    uint64_t tokenLists = 0;
    uint64_t updateTimes = 0;
    uint64_t unanswered = 0;
    uint64_t invalid = 0;
    double slowestMs = 0;
    std::string firstProblem;
};

std::atomic<bool> gRunning{true};

bool validTokenList(DBusMessage* reply) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY) {
        return false;
    }
    DBusMessageIter array;
    dbus_message_iter_recurse(&iter, &array);
    int64_t previousSlot = -1;
    while (dbus_message_iter_get_arg_type(&array) != DBUS_TYPE_INVALID) {
        bool valid = false;
        Token::Info token = Token::Info::reciveData(&array, &valid);
        if (!valid || static_cast<int64_t>(token.slotId) <= previousSlot) {
            return false;
        }
        previousSlot = static_cast<int64_t>(token.slotId);
        dbus_message_iter_next(&array);
    }
    return !dbus_message_iter_next(&iter);
}

bool validUpdateTime(DBusMessage* reply, int64_t& last) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_INT64) {
        return false;
    }
    dbus_int64_t time = 0;
    dbus_message_iter_get_basic(&iter, &time);
    if (time < last) {
        return false;
    }
    last = time;
    return true;
}

void callUntilStopped(Counts& counts) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr) {
        counts.unanswered = 1;
        counts.firstProblem = std::string("no bus: ") + error.message;
        dbus_error_free(&error);
        return;
    }
    const char* methods[] = {"allTokens", "lastDateUpdate"};
    int64_t lastUpdate = 0;
    for (uint64_t call = 0; gRunning; ++call) {
        const bool tokens = call % 2 == 0;
        Message request(dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server",
                                                     methods[call % 2]));
        const auto began = std::chrono::steady_clock::now();
        Message reply(dbus_connection_send_with_reply_and_block(connection, request.get(),
                                                                kReplyTimeoutMs, &error));
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count();
        counts.slowestMs = std::max(counts.slowestMs, ms);
        std::string problem;
        if (!reply) {
            ++counts.unanswered;
            problem = std::string(methods[call % 2]) + ": " + error.message;
            dbus_error_free(&error);
        } else if (tokens ? !validTokenList(reply.get())
                          : !validUpdateTime(reply.get(), lastUpdate)) {
            ++counts.invalid;
            problem = std::string(methods[call % 2]) + ": invalid reply, signature " +
                      dbus_message_get_signature(reply.get());
        } else {
            ++(tokens ? counts.tokenLists : counts.updateTimes);
        }
        if (!problem.empty() && counts.firstProblem.empty()) {
            counts.firstProblem = problem;
        }
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: %s CLIENTS\n", argv[0]);
        return 2;
    }
    dbus_threads_init_default();
    std::vector<Counts> counts(static_cast<size_t>(std::atoi(argv[1])));
    std::vector<std::thread> clients;
    for (Counts& each : counts) {
        clients.emplace_back(callUntilStopped, std::ref(each));
    }
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    gRunning = false;
    for (std::thread& client : clients) {
        client.join();
    }
    dbus_shutdown();  // so the sanitizer build sees no leak

    Counts total;
    for (const Counts& each : counts) {
        total.tokenLists += each.tokenLists;
        total.updateTimes += each.updateTimes;
        total.unanswered += each.unanswered;
        total.invalid += each.invalid;
        total.slowestMs = std::max(total.slowestMs, each.slowestMs);
        if (total.firstProblem.empty()) {
            total.firstProblem = each.firstProblem;
        }
    }
    std::printf("allTokens %llu lastDateUpdate %llu unanswered %llu invalid %llu slowest_ms %.1f\n",
                static_cast<unsigned long long>(total.tokenLists),
                static_cast<unsigned long long>(total.updateTimes),
                static_cast<unsigned long long>(total.unanswered),
                static_cast<unsigned long long>(total.invalid), total.slowestMs);
    if (!total.firstProblem.empty()) {
        std::printf("first problem: %s\n", total.firstProblem.c_str());
    }
    return total.unanswered == 0 && total.invalid == 0 ? 0 : 1;
}
