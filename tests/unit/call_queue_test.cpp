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
    ASSERT_EQ(queue.room(":1.1"), Room::Free);
    CallQueue::Call first;
    first.sender = ":1.1";
    ASSERT_TRUE(queue.add(first));
    queue.askedUid(":1.1", 1);
    EXPECT_EQ(queue.room(":1.1"), Room::Full);  // one call until the bus tells whose it is
    ASSERT_TRUE(queue.uidAnswer(1, 1000));
    for (size_t queued = 1; queued < CallQueue::kCallsPerSender; ++queued) {
        arrive(queue, ":1.1", 1000, 0);
    }
    EXPECT_EQ(queue.room(":1.1"), Room::FullAgain);
    arrive(queue, ":1.2", 1001, 2);
    arrive(queue, ":1.3", 0, 3);
    std::vector<std::string> order;
    for (CallQueue::Call call; order.size() < 4 && queue.next(call);) {
        order.push_back(call.sender);
    }
    EXPECT_EQ(order, (std::vector<std::string>{":1.3", ":1.1", ":1.2", ":1.1"}));
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
