// A user's client that keeps the daemon busy with large calls: CONNECTIONS connections, each
// keeping IN_FLIGHT "test" calls on the way, every one carrying one array of STRINGS short
// strings (8 bytes each on the wire), and sending the next as soon as an answer (a return or an
// error) comes. Prints "sent" once the first calls are out and goes on until its standard input
// closes; then prints the number of answers. Run inside a test world with a running daemon;
// bench/dbus_attacks.py does that.
//   kx_dbus_array_flood CONNECTIONS IN_FLIGHT STRINGS
#include <dbus/dbus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gRunning{true};
std::atomic<long> gAnswers{0};

DBusMessage* arrayCall(int strings) {
    DBusMessage* call =
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", "test");
    DBusMessageIter iter;
    DBusMessageIter array;
    dbus_message_iter_init_append(call, &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING_AS_STRING, &array);
    const char* text = "ab";
    for (int i = 0; i < strings; ++i) {
        dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &text);
    }
    dbus_message_iter_close_container(&iter, &array);
    return call;
}

bool send(DBusConnection* connection, DBusMessage* model) {
    DBusMessage* call = dbus_message_copy(model);
    bool sent = call != nullptr && dbus_connection_send(connection, call, nullptr);
    if (call != nullptr) {
        dbus_message_unref(call);
    }
    return sent;
}

void keepCalling(DBusConnection* connection, DBusMessage* model, int inFlight) {
    for (int i = 0; i < inFlight; ++i) {
        send(connection, model);
    }
    while (gRunning && dbus_connection_read_write(connection, 100)) {
        while (DBusMessage* message = dbus_connection_pop_message(connection)) {
            int type = dbus_message_get_type(message);
            dbus_message_unref(message);
            if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) {
                ++gAnswers;
                send(connection, model);
            }
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CONNECTIONS IN_FLIGHT STRINGS\n", argv[0]);
        return 2;
    }
    int connections = std::atoi(argv[1]);
    int inFlight = std::atoi(argv[2]);
    dbus_threads_init_default();
    DBusMessage* model = arrayCall(std::atoi(argv[3]));
    std::vector<DBusConnection*> held;
    for (int c = 0; c < connections; ++c) {
        DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
        if (connection == nullptr) {
            std::fprintf(stderr, "connection %d refused\n", c);
            return 1;
        }
        dbus_connection_set_exit_on_disconnect(connection, FALSE);
        held.push_back(connection);
    }
    std::vector<std::thread> threads;
    for (DBusConnection* connection : held) {
        threads.emplace_back(keepCalling, connection, model, inFlight);
    }
    std::printf("sent\n");
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    gRunning = false;
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (DBusConnection* connection : held) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
    dbus_message_unref(model);
    std::printf("%ld\n", gAnswers.load());
    return 0;
}
