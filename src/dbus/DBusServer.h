#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dbus/Any.h"

struct DBusConnection;
struct DBusMessage;
class EventFd;

// The daemon's method server on the system bus. One worker thread owns the connection, claims
// the name and serves calls one after another: it decodes the arguments into common::any
// values, calls the handler registered under the method name and answers with one method
// return carrying the handler's result (no argument for an empty one). It never sends an error
// reply; calls it does not serve (another interface, an unknown method) get no reply at all.
class DBusServer {
public:
    using Arguments = std::vector<common::any>;
    using Handler = std::function<common::any(Arguments&)>;
    struct MessageUnref {
        void operator()(DBusMessage* message) const;
    };

    // name is the bus name to claim and the interface of the served calls.
    explicit DBusServer(std::string name);
    ~DBusServer();
    DBusServer(const DBusServer&) = delete;
    DBusServer& operator=(const DBusServer&) = delete;

    // Fill the table before start(): the worker reads it without a lock.
    void registerHandler(const std::string& method, Handler handler);
    // Starts the worker (after stopping a running one).
    void start();
    // Returns once the call being served, if any, is answered and the worker has ended.
    void stop();

    // The call's top-level arguments of the basic types the handlers take, in order; every
    // other argument is left out with a warning naming its position among the kept ones.
    static Arguments inputArgs(DBusMessage* message, const std::string& method);

private:
    void threadWorker();
    // Serves calls until stop(), waiting on the connection and the stop event in between.
    void serve(DBusConnection* connection);
    // Sleeps until the bus has traffic for the connection or stop() is called.
    void waitForTraffic(DBusConnection* connection);
    void serveMessage(DBusConnection* connection, DBusMessage* message);
    void sendReply(DBusConnection* connection, DBusMessage* message, const std::string& method,
                   const common::any& result);
    // A method return to the call carrying the token store as it is now; null when it cannot
    // be made.
    DBusMessage* tokensReply(DBusMessage* message);

    std::string name_;
    std::unique_ptr<std::thread> worker_;
    std::atomic<bool> running_{false};
    std::map<std::string, Handler> handlers_;
    // Wakes the worker out of its wait when stop() clears running_.
    std::unique_ptr<EventFd> wake_;
    // The token store encoded as a reply, and DataBase::changeCount() when it was: encoding
    // thousands of fields is the dearest part of a call, so it is done once per change. Only
    // the worker uses them.
    std::unique_ptr<DBusMessage, MessageUnref> tokens_;
    uint64_t tokensChangeCount_ = 0;
};
