// What the D-Bus server decides about its callers, without a bus: who is served first, how many
// calls may wait, and when replies stop until a connection is shown to have read them. (That root
// is answered while users leave replies unread: test_dbus_service.py, through the daemon.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbus/CallQueue.h"

namespace {

using Room = CallQueue::Room;
using Reply = CallQueue::Reply;
using Check = CallQueue::Check;

// Queues a call from `sender`; the bus, asked with `serial`, tells the uid.
void arrive(CallQueue& queue, const std::string& sender, uint32_t uid, uint32_t serial) {
    ASSERT_EQ(queue.room(sender), Room::Free);
    CallQueue::Call call;
    call.sender = sender;
    if (queue.add(std::move(call))) {
        queue.askedUid(sender, serial);
        EXPECT_TRUE(queue.uidAnswer(serial, uid));
    }
}

}  // namespace

TEST(CallQueueTest, RootFirstThenUsersInTurnEachWithinItsBound) {
    CallQueue queue;
    CallQueue::Call call;
    call.sender = ":1.1";
    // A client may send several calls before the bus tells whose the connection is: they wait.
    for (size_t queued = 0; queued < CallQueue::kCallsPerSender; ++queued) {
        ASSERT_EQ(queue.room(":1.1"), Room::Free);
        const bool ask = queue.add(call);
        EXPECT_EQ(ask, queued == 0);  // the bus is asked once
        if (ask) {
            queue.askedUid(":1.1", 1);
        }
    }
    EXPECT_EQ(queue.room(":1.1"), Room::Full);
    ASSERT_TRUE(queue.uidAnswer(1, 1000));
    EXPECT_EQ(queue.room(":1.1"), Room::FullAgain);
    arrive(queue, ":1.2", 1001, 2);
    arrive(queue, ":1.3", 0, 3);
    std::vector<std::string> order;
    for (CallQueue::Call next; order.size() < 4 && queue.next(next);) {
        order.push_back(next.sender);
    }
    EXPECT_EQ(order, (std::vector<std::string>{":1.3", ":1.1", ":1.2", ":1.1"}));
}

TEST(CallQueueTest, ConnectionsNotYetKnownShareABoundAndTheirRefusalsCountAsReplies) {
    CallQueue queue;
    // Beyond each one's first call, all connections whose uid the bus has not told share a bound.
    size_t added = 0;
    for (uint32_t sender = 0;
         sender < CallQueue::kCallsAwaitingUid / CallQueue::kCallsPerSender + 2; ++sender) {
        CallQueue::Call call;
        call.sender = ":2." + std::to_string(sender);
        for (size_t calls = 0; calls < CallQueue::kCallsPerSender; ++calls) {
            const bool free = queue.room(call.sender) == Room::Free;
            ASSERT_EQ(free, calls == 0 || added < CallQueue::kCallsAwaitingUid)
                << call.sender << " call " << calls;
            if (free) {
                queue.add(call);
                ++added;
            }
        }
    }
    // A refusal goes to a connection not yet known within the bounds of a user's connection.
    CallQueue::Call refused;
    refused.sender = ":2.0";
    const uint64_t all = CallQueue::kUnreadPerConnection;
    ASSERT_EQ(queue.mayReply(refused, all), Reply::Send);
    queue.replied(refused, all);
    EXPECT_EQ(queue.mayReply(refused, 1), Reply::Drop);
    // Once the bus tells it is root's, nothing counts against it; its calls are served.
    queue.askedUid(":2.0", 7);
    ASSERT_TRUE(queue.uidAnswer(7, 0));
    EXPECT_EQ(queue.mayReply(refused, all), Reply::Send);
    CallQueue::Call served;
    ASSERT_TRUE(queue.next(served));
    EXPECT_EQ(served.sender, ":2.0");
}

TEST(CallQueueTest, AUsersRefusalsOfTooLongCallsGoAtAPaceOfTheirBytes) {
    CallQueue queue;
    // Two of a user's calls, two of root's, each taking two seconds' worth of bytes.
    for (const auto& [sender, uid] : {std::pair{":1.1", 1000u}, {":1.2", 0u}}) {
        CallQueue::Call call;
        call.sender = sender;
        call.tooLongBytes = 2 * CallQueue::kTooLongBytesPerSecond;
        for (int calls = 0; calls < 2; ++calls) {
            ASSERT_EQ(queue.room(sender), Room::Free);
            if (queue.add(call)) {
                queue.askedUid(sender, uid + 1);
                ASSERT_TRUE(queue.uidAnswer(uid + 1, uid));
            }
        }
    }
    arrive(queue, ":1.3", 1000, 3);  // the user's ordinary call, on another connection
    std::vector<std::string> served;
    for (CallQueue::Call call; queue.next(call, 1000);) {
        served.push_back(call.sender);
    }
    // Root's at once, the user's first at once and its second once the first is paid for; the
    // user's other calls meanwhile.
    EXPECT_EQ(served, (std::vector<std::string>{":1.2", ":1.2", ":1.1", ":1.3"}));
    EXPECT_EQ(queue.readyAtMs(), 3000);
    CallQueue::Call held;
    EXPECT_FALSE(queue.next(held, 2999));
    ASSERT_TRUE(queue.next(held, 3000));
    EXPECT_EQ(held.sender, ":1.1");
}

TEST(CallQueueTest, UsersRepliesStopUntilTheBusShowsThemRead) {
    CallQueue queue;
    arrive(queue, ":1.1", 1000, 1);
    arrive(queue, ":1.2", 0, 2);
    CallQueue::Call user;
    CallQueue::Call root;
    ASSERT_TRUE(queue.next(root) && queue.next(user));
    const uint64_t all = CallQueue::kUnreadPerConnection;
    queue.replied(user, CallQueue::kUnreadBeforeAsking - 1);
    EXPECT_EQ(queue.checkDue(":1.1"), Check::None);  // a few replies cost no question
    queue.replied(user, all - CallQueue::kUnreadBeforeAsking + 1);
    ASSERT_EQ(queue.checkDue(":1.1"), Check::AskBus);
    queue.askedBus(":1.1", 3);
    EXPECT_EQ(queue.checkDue(":1.1"), Check::None);  // one on the way at a time
    EXPECT_EQ(queue.mayReply(user, 1), Reply::Drop);
    EXPECT_EQ(queue.mayServe(user), Reply::DropAgain);
    EXPECT_EQ(queue.mayReply(root, 100 * all), Reply::Send);  // root's always go
    // The bus holds them all, and others' messages besides: still refused, asked again.
    queue.busAnswer(3, all + 5000);
    EXPECT_EQ(queue.mayReply(user, 1), Reply::DropAgain);
    ASSERT_EQ(queue.checkDue(":1.1"), Check::AskBus);
    queue.askedBus(":1.1", 4);
    EXPECT_FALSE(queue.pingAnswer(4, ":1.1"));  // a question is no ping
    queue.busAnswer(4, 1000);                   // read all but 1000 bytes
    EXPECT_EQ(queue.mayReply(user, all - 1000), Reply::Send);
    queue.replied(user, all - 1000);
    // Replies sent while a question is on the way are not covered by its answer.
    queue.askedBus(":1.1", 5);
    queue.busAnswer(5, 0);
    EXPECT_EQ(queue.mayReply(user, all), Reply::Send);
    queue.replied(user, all);
    queue.askedBus(":1.1", 6);
    queue.replied(user, 1);
    queue.busAnswer(6, 0);
    EXPECT_EQ(queue.mayReply(user, all), Reply::Drop);
    EXPECT_EQ(queue.mayReply(user, all - 1), Reply::DropAgain);  // refused until shown reading
    // A user's connections share a bound; one that leaves the bus frees its share, and the
    // answer about it then shows nothing.
    queue.replied(user, all);
    queue.askedBus(":1.1", 8);
    for (uint32_t n = 3; n < 3 + CallQueue::kUnreadPerUser / all; ++n) {
        arrive(queue, ":1." + std::to_string(n), 1000, n + 100);
    }
    CallQueue::Call other;
    ASSERT_TRUE(queue.next(other));
    EXPECT_EQ(queue.mayReply(other, CallQueue::kUnreadPerUser), Reply::Drop);
    queue.gone(":1.1");
    queue.busAnswer(8, std::nullopt);
    EXPECT_EQ(queue.mayReply(other, CallQueue::kUnreadPerUser), Reply::Send);
}

TEST(CallQueueTest, WhereTheBusWillNotTellAConnectionShowsItHasReadByAnsweringAPing) {
    CallQueue queue;
    arrive(queue, ":1.1", 1000, 1);
    arrive(queue, ":1.2", 1001, 2);
    CallQueue::Call user;
    CallQueue::Call other;
    ASSERT_TRUE(queue.next(user) && queue.next(other));
    const uint64_t all = CallQueue::kUnreadPerConnection;
    queue.replied(user, all);
    queue.replied(other, all);
    ASSERT_EQ(queue.checkDue(":1.1"), Check::AskBus);
    ASSERT_EQ(queue.checkDue(":1.2"), Check::AskBus);
    queue.askedBus(":1.1", 3);
    queue.askedBus(":1.2", 4);
    EXPECT_TRUE(queue.busWillNotTell(3));
    EXPECT_FALSE(queue.busWillNotTell(4));  // said once is enough
    EXPECT_EQ(queue.mayReply(user, 1), Reply::Drop);
    ASSERT_EQ(queue.checkDue(":1.1"), Check::Ping);
    queue.pinged(":1.1", 0x80000001);
    EXPECT_EQ(queue.checkDue(":1.1"), Check::None);
    // Only the connection itself can show it has read; the bus's answer (it is gone, or did not
    // answer) shows nothing.
    EXPECT_TRUE(queue.pingAnswer(0x80000001, "org.freedesktop.DBus"));
    EXPECT_EQ(queue.mayReply(user, 1), Reply::DropAgain);
    queue.pinged(":1.1", 0x80000002);
    EXPECT_TRUE(queue.pingAnswer(0x80000002, ":1.1"));
    EXPECT_EQ(queue.mayReply(user, all), Reply::Send);
    queue.replied(user, 1);
    EXPECT_EQ(queue.checkDue(":1.1"), Check::Ping);  // after every reply
}

TEST(CallQueueTest, AUserWhoseConnectionsAreCheckedHoldsFewChecks) {
    CallQueue queue;
    for (uint32_t n = 1; n <= CallQueue::kChecksPerUser + 2; ++n) {
        arrive(queue, ":1." + std::to_string(n), n == 1 ? 1001 : 1000, n);
    }
    uint32_t checked = 0;
    for (CallQueue::Call call; queue.next(call);) {
        queue.replied(call, CallQueue::kUnreadBeforeAsking);
        if (queue.checkDue(call.sender) != Check::None) {
            queue.askedBus(call.sender, 100 + ++checked);
        }
    }
    EXPECT_EQ(checked, CallQueue::kChecksPerUser + 1);  // the other user's connection has one too
}
