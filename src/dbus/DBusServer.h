#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dbus/Any.h"
#include "dbus/CallQueue.h"

struct DBusConnection;
struct DBusMessage;
struct DBusMessageIter;
class EventFd;

// The daemon's method server on the system bus. One worker thread owns the connection, claims
// the name and serves calls one after another: it decodes the arguments into common::any
// values, calls the handler registered under the method name and answers with one method
// return carrying the handler's result (no argument for an empty one). Calls it does not serve
// (another interface, an unknown method) get no reply at all. A call it refuses gets an error
// reply, so that no caller waits out its timeout: org.freedesktop.DBus.Error.LimitsExceeded when
// its arguments are too long or its connection has too many calls waiting,
// org.freedesktop.DBus.Error.AccessDenied when the method is root's (BusContract) and the caller
// is not: the bus policy is not the only guard.
//
// No client can hold the worker: it never waits for the bus to take a message, takes at most a
// few calls of each connection at a time, serves root's calls first, refuses long calls without
// decoding them, at a pace that slows a user who keeps sending them, and drops the replies of a
// connection that does not read them (CallQueue). A lost bus is reconnected to.
class DBusServer {
public:
    using Arguments = std::vector<common::any>;
    using Handler = std::function<common::any(Arguments&)>;
    struct MessageUnref {
        void operator()(DBusMessage* message) const;
    };
    // A result already in its wire form: a handler returns it for a value dear to encode that
    // many calls answer alike. `bytes` is its size, UINT64_MAX when it could not be measured (it
    // is not sent then).
    struct Encoded {
        std::shared_ptr<DBusMessage> body;
        uint64_t bytes = UINT64_MAX;
    };

    // Replies carry at most this much: the bus drops the connection of a sender whose message
    // exceeds its limit (32 MiB by default).
    static constexpr uint64_t kMaxReplyBytes = uint64_t{8} << 20;
    // Calls whose arguments take more on the wire, all of them counted, are refused without being
    // decoded.
    static constexpr size_t kMaxArgumentBytes = 64 * 1024;

    // name is the bus name to claim and the interface of the served calls.
    explicit DBusServer(std::string name);
    ~DBusServer();
    DBusServer(const DBusServer&) = delete;
    DBusServer& operator=(const DBusServer&) = delete;

    // Fill the table before start(): the worker reads it without a lock.
    void registerHandler(const std::string& method, Handler handler);
    // Starts the worker (after stopping a running one).
    void start();
    // Returns once the worker has ended: the call being served, if any, is finished first, and
    // a command its handler waits for is killed.
    void stop();

    // Whether the worker is connected and owns the name (a name request may be queued behind
    // another owner, or the name lost to one).
    bool nameHeld() const { return nameHeld_; }

    // The call's top-level arguments of the basic types the handlers take, in order; every
    // other argument is left out with a warning naming its position among the kept ones.
    static Arguments inputArgs(DBusMessage* message, const std::string& method);
    // A result whose content `append` writes at the iterator; an empty one when out of memory.
    static Encoded encode(const std::function<void(DBusMessageIter*)>& append);

private:
    using Message = std::unique_ptr<DBusMessage, MessageUnref>;

    void threadWorker();
    // A connection with the name claimed, or null; the failure is logged unless `quiet`.
    DBusConnection* connect(bool quiet);
    // Serves calls until stop() (true) or until the connection is lost (false).
    bool serve(DBusConnection* connection);
    // Sleeps until the bus has traffic for the connection, a call held back is ready (in
    // `readyInMs`), or stop() is called.
    void waitForTraffic(DBusConnection* connection, int64_t readyInMs);
    // Sleeps `ms` unless stop() is called first; false then.
    bool pause(int ms);
    // Routes a message taken off the connection: a call to its sender's queue, answers to the
    // uid questions and pings, departures of callers.
    void take(DBusConnection* connection, CallQueue& queue, Message message);
    void takeCall(DBusConnection* connection, CallQueue& queue, DBusMessage* message);
    // An answer to one of the worker's questions (the bus's, or a caller's to a ping).
    void takeAnswer(DBusConnection* connection, CallQueue& queue, DBusMessage* answer);
    // The bus's news of the name and of departed callers.
    void takeSignal(CallQueue& queue, DBusMessage* signal);
    // Whether the caller's queue has room for the call; refuses it when not.
    bool roomFor(DBusConnection* connection, CallQueue& queue, const CallQueue::Call& call);
    // Asks the bus for the uid of the sender whose call waits for it.
    void askWhose(DBusConnection* connection, CallQueue& queue, const char* sender);
    void serveCall(DBusConnection* connection, CallQueue& queue, CallQueue::Call& call);
    // Answers the call with the error `name` (a reply counted as any other), or not at all when
    // its caller reads no replies.
    void refuse(DBusConnection* connection, CallQueue& queue, const CallQueue::Call& call,
                const char* name, const char* text);
    void sendReply(DBusConnection* connection, CallQueue& queue, const CallQueue::Call& call,
                   const common::any& result);
    // The method return carrying the result, and the size of that content; null when it cannot
    // be made.
    static Message replyWith(const CallQueue::Call& call, const common::any& result,
                             uint64_t& bytes);
    // Whether a reply with a result of `resultBytes` may go to the caller; when not, the caller
    // is checked for having read its replies (and warned about once).
    bool mayReply(DBusConnection* connection, CallQueue& queue, const CallQueue::Call& call,
                  uint64_t resultBytes);
    // Asks the bus what it holds for the sender, or pings the sender, when CallQueue says so.
    void checkIfDue(DBusConnection* connection, CallQueue& queue, const std::string& sender);
    // The bus's answer to the backlog question `serial` about the connection `about`.
    void takeBacklog(DBusConnection* connection, CallQueue& queue, DBusMessage* answer,
                     uint32_t serial, const std::string& about);

    std::string name_;
    std::unique_ptr<std::thread> worker_;
    std::atomic<bool> running_{false};
    std::atomic<bool> nameHeld_{false};
    std::map<std::string, Handler> handlers_;
    // Wakes the worker out of its waits when stop() clears running_; stays readable from then on.
    std::unique_ptr<EventFd> wake_;
    // Messages taken since freed memory was last given back to the system (the worker's).
    size_t takenSinceTrim_ = 0;
};
