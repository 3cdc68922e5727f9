// A client that calls the daemon and never reads the replies: opens CONNECTIONS connections to
// the system bus, sends CALLS calls of METHOD on each (with one string argument of ARGUMENT_BYTES
// bytes when given), prints "sent" and holds the connections, unread, until its standard input
// closes. Run inside a test world with a running daemon; bench/dbus_service.py and
// tests/system/test_dbus_service.py do that.
//   kx_dbus_flood METHOD CONNECTIONS CALLS [ARGUMENT_BYTES]
#include <dbus/dbus.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Writes what libdbus has queued without reading anything: each send writes what the socket
// takes, so small signals (which nobody listens to) push the queue out. A flush would also read
// the replies that have come in meanwhile.
bool writeQueued(DBusConnection* connection) {
    int fd = -1;
    if (!dbus_connection_get_unix_fd(connection, &fd)) {
        return false;
    }
    while (dbus_connection_get_outgoing_size(connection) > 4096) {
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 1000);
        DBusMessage* push = dbus_message_new_signal("/kx/flood", "kx.flood", "Push");
        bool sent = dbus_connection_send(connection, push, nullptr);
        dbus_message_unref(push);
        if (!sent || !dbus_connection_get_is_connected(connection)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s METHOD CONNECTIONS CALLS [ARGUMENT_BYTES]\n", argv[0]);
        return 2;
    }
    const char* method = argv[1];
    int connections = std::atoi(argv[2]);
    int calls = std::atoi(argv[3]);
    std::string argument(argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 0, 'x');

    std::vector<DBusConnection*> held;
    for (int c = 0; c < connections; ++c) {
        DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
        if (connection == nullptr) {
            std::fprintf(stderr, "connection %d refused\n", c);
            return 1;
        }
        dbus_connection_set_exit_on_disconnect(connection, FALSE);
        held.push_back(connection);
        for (int i = 0; i < calls; ++i) {
            DBusMessage* call =
                dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", method);
            if (argc == 5) {
                const char* text = argument.c_str();
                dbus_message_append_args(call, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
            }
            dbus_connection_send(connection, call, nullptr);
            dbus_message_unref(call);
        }
        if (!writeQueued(connection)) {
            std::fprintf(stderr, "connection %d lost\n", c);
            return 1;
        }
    }
    std::printf("sent\n");
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    for (DBusConnection* connection : held) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
    return 0;
}
