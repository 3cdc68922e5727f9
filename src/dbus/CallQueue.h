#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dbus/Any.h"

// The method calls taken from the bus until they are served, and what may go back to their
// senders; no D-Bus types, so a table can drive it.
//
// Calls wait per sender connection, a few each and a bounded number per user; root's are served
// first and the others' in turn, so what users queue never delays root. The bus is asked once for
// each connection's uid; until it answers, the connection's calls wait as well (a client may
// send several before the answer comes), all such calls of all connections within a bound of
// their own beyond each connection's first. A call that finds no room is refused: its caller is
// answered with an error, which counts as a reply below.
//
// A call too long to be taken is refused too, but in its turn, and a user's such refusals go at
// a bounded pace of their bytes (the first at once): the daemon must read every byte of such a
// call, and root's calls wait behind them in the bus's one stream to the daemon. A client that
// waits for its answers before it sends more is thus slowed to that pace.
//
// The bus keeps the replies a client has not read, and stops reading from the daemon altogether
// once those reach its limit (127 MiB by default): every caller, root too, would then wait for
// the slowest reader. So the bytes of users' replies are counted per connection, per user and for
// all users until the connection is shown to have read them; past a bound its replies are dropped
// instead of sent. Root's replies always go. What shows it: the bus's own count of the bytes it
// still holds for the connection (asked ahead of the bound, so that a client that reads never
// meets it), or, from a bus that does not tell, the connection's answer to a ping sent after
// them, which only clients that dispatch what they read give.
class CallQueue {
public:
    static constexpr size_t kCallsPerSender = 16;
    static constexpr size_t kCallsPerUser = 256;
    static constexpr size_t kCallsAwaitingUid = 1024;
    static constexpr uint64_t kUnreadPerConnection = uint64_t{1} << 20;
    static constexpr uint64_t kUnreadPerUser = uint64_t{8} << 20;
    static constexpr uint64_t kUnreadOfAllUsers = uint64_t{32} << 20;
    // From this many bytes not shown read, the bus is asked ahead of the bound, so that its
    // answer is back before a client that reads meets the bound; below, small replies cost
    // no question.
    static constexpr uint64_t kUnreadBeforeAsking = uint64_t{64} << 10;
    // Checks on the way, per user and in all: the bus lets a connection have 128 calls waiting
    // for answers, and a user who never answers a ping must not take them from the others.
    static constexpr size_t kChecksPerUser = 8;
    static constexpr size_t kChecksInAll = 96;
    // Connections remembered; idle ones are forgotten first.
    static constexpr size_t kSendersKept = 4096;
    // The pace of a user's refusals of calls too long to be taken, in their bytes.
    static constexpr uint64_t kTooLongBytesPerSecond = 64 * 1024;

    struct Call {
        std::string sender;  // the connection's unique name
        uint32_t serial = 0;
        bool replyWanted = true;
        std::string method;
        std::vector<common::any> args;
        // The bytes of a call too long to be taken, which is refused when its turn comes.
        uint64_t tooLongBytes = 0;
        uint32_t uid = 0;  // set by next()
    };

    // Free: the call may be queued. Full: the sender's queue is full, for the first time;
    // FullAgain: full once more. The call is refused in both.
    enum class Room { Free, Full, FullAgain };
    // Remembers a new sender.
    Room room(const std::string& sender);
    // Queues a call that room() let in; true when the bus is to be asked for the sender's uid.
    bool add(Call call);
    void askedUid(const std::string& sender, uint32_t serial);
    // The bus's answer to a uid question: the uid, or none when the sender has gone. False when
    // the serial is not one of the questions.
    bool uidAnswer(uint32_t serial, std::optional<uint32_t> uid);
    // The sender's uid as the bus gave it; none before it has.
    std::optional<uint32_t> uidOf(const std::string& sender) const;
    // The connection has left the bus: its calls and counts go with it.
    void gone(const std::string& sender);

    // The next call to serve at `nowMs` (any monotonic milliseconds), root's before everyone
    // else's; false when none is ready.
    bool next(Call& call, int64_t nowMs = 0);
    // When a call held back now is ready (INT64_MAX when none is).
    int64_t readyAtMs() const;

    // Send: a reply of `bytes` may go to the caller. Drop: it may not, the first time since one
    // went; DropAgain: still not, or the caller is gone. Once refused, a connection with replies
    // not shown read gets none until a check shows it has read some. The caller's uid is the
    // sender's (call.uid is not read): one the bus has not told yet is bound as a user's
    // connection is, but for its user's share, which it joins once the uid is known.
    enum class Reply { Send, Drop, DropAgain };
    Reply mayReply(const Call& call, uint64_t bytes);
    // Whether a call is worth serving: a reply as large as the last one refused to its caller
    // would go now.
    Reply mayServe(const Call& call);
    void replied(const Call& call, uint64_t bytes);

    // How to learn now whether a connection has read its replies: not at all (nothing to learn,
    // a check on the way, or its user's share of checks taken), by asking the bus how many bytes
    // it still holds for the connection, or by pinging it where the bus does not tell.
    enum class Check { None, AskBus, Ping };
    Check checkDue(const std::string& sender) const;
    void askedBus(const std::string& sender, uint32_t serial);
    void pinged(const std::string& sender, uint32_t serial);
    // Whether `serial` is a check or uid question on the way: no new message may reuse it.
    bool waiting(uint32_t serial) const;
    // The connection a question to the bus about its backlog is on the way for.
    std::optional<std::string> askedAbout(uint32_t serial) const;
    // The bus's answer to such a question: the bytes it holds for the connection, or none (the
    // connection is gone). Of the bytes counted when the question went, all but those are read.
    void busAnswer(uint32_t serial, std::optional<uint64_t> held);
    // The bus does not tell (the answer to `serial` said so): pings from now on. True the first
    // time.
    bool busWillNotTell(uint32_t serial);
    // An answer (return or error) to a ping: true when `serial` was one. An answer from the
    // pinged connection itself shows that it has read every reply sent before the ping; one from
    // anyone else (the bus, when the connection is gone or did not answer) shows nothing.
    bool pingAnswer(uint32_t serial, const std::string& from);

private:
    struct Sender {
        std::optional<uint32_t> uid;
        uint32_t uidQuestion = 0;
        std::deque<Call> calls;
        bool inTurn = false;  // in one of the turn lists
        bool queueRefused = false;
        uint64_t unread = 0;
        uint32_t check = 0;  // the serial of the ping or question on the way
        uint64_t unreadAtCheck = 0;
        // A reply was refused: none goes until a check shows some read.
        bool repliesRefused = false;
        uint64_t refusedBytes = 0;
        bool refusalTold = false;  // since the last reply went
        std::list<std::string>::iterator age;
    };
    struct Pending {
        std::string sender;
        bool ping;
    };

    Sender* find(const std::string& sender);
    const Sender* find(const std::string& sender) const;
    void touch(Sender& sender);
    // Forgets the least recently active sender that has nothing waiting; false when none.
    bool forgetIdle();
    void takeTurn(const std::string& name, Sender& sender);
    // When the sender's next call is ready: a user's refusal of a call too long waits for the
    // user's refusals before it to be paid for.
    int64_t readyAtMs(const Sender& sender) const;
    void countUnread(const Sender& sender, int64_t bytes);
    void startCheck(const std::string& name, uint32_t serial, bool ping);
    // Forgets the sender's check on the way.
    void endCheck(Sender& sender);
    // Ends the ping (or question) `serial`, naming the sender it was about in `name` (empty when
    // `serial` is none); that sender, or null when it has gone or has been checked anew.
    Sender* answered(uint32_t serial, bool ping, std::string& name);
    // All but `held` bytes of those unread when the sender's check went have been read.
    void confirm(Sender& sender, uint64_t held);

    std::unordered_map<std::string, Sender> senders_;
    std::list<std::string> ages_;  // least recently active first
    std::unordered_map<uint32_t, std::string> uidQuestions_;
    std::unordered_map<uint32_t, Pending> checks_;
    std::unordered_map<uint32_t, size_t> queuedOfUser_;
    std::unordered_map<uint32_t, uint64_t> unreadOfUser_;
    std::unordered_map<uint32_t, size_t> checksOfUser_;
    // Per user, when the refusals of too long calls sent so far are paid for at the pace.
    std::unordered_map<uint32_t, int64_t> tooLongPaidAtMs_;
    uint64_t unreadOfAllUsers_ = 0;  // root's not counted, those of unknown senders counted
    size_t awaitingUid_ = 0;         // calls of senders without a uid
    // Until the bus says otherwise, it is assumed to tell what it holds for a connection.
    bool busTells_ = true;
    // Senders with calls ready, in turn; a name may outlive its sender and is then skipped.
    std::deque<std::string> rootTurns_;
    std::deque<std::string> userTurns_;
};
