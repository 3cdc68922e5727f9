// Slot lists and slot events beyond what the daemon's slot loop meets: a list buffer too small,
// changes between two polls, sessions of a token that left.

#include "SimClient.h"

namespace simtest {
namespace {

TEST_F(SimTest, ChangesBetweenTwoPollsAreSeenOneAfterAnother) {
    insert(3, "label = old\n");
    insert(5, "label = before\n");
    initialize();
    // The two-call protocol of C_GetSlotList, a buffer too small included.
    CK_SLOT_ID slots[2] = {};
    CK_ULONG count = 1;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    remove(3);
    insert(3, "label = new\n");
    insert(5, "label = after\n");  // replaced in place: a removal, then an insertion

    CK_SLOT_ID slot = 0;
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 3u);
    CK_SLOT_INFO info{};
    EXPECT_EQ(C_GetSlotInfo(3, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_TOKEN_PRESENT) << "the removal comes first";
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(tokenLabel(3), "new");
    EXPECT_EQ(events(), (std::vector<CK_SLOT_ID>{5, 5}));
    EXPECT_EQ(tokenLabel(5), "after");
}

TEST_F(SimTest, SessionsDieWithTheirToken) {
    insert(2, "label = two\n");
    initialize();
    EXPECT_TRUE(events().empty()) << "a client that takes slot events, like the daemon";
    CK_SESSION_HANDLE session = openSession(2);
    remove(2);
    // Gone from the slot, but the application has not taken the event yet.
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{2});
    // A token inserted again does not bring the old session back.
    insert(2, "label = two again\n");
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{2});
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
}

}  // namespace
}  // namespace simtest
