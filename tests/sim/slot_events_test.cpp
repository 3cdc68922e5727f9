// Slot lists and slot events, as the daemon's slot loop uses them.

#include "SimClient.h"

namespace simtest {
namespace {

constexpr CK_SLOT_ID kHighSlot = (CK_SLOT_ID{1} << 32) + 5;

using SlotEvents = SimTest;

TEST_F(SlotEvents, InsertionAndRemovalGiveOneEventEachAndSetTheSlotFlags) {
    insert(1, "label = at start\n");
    insert(0, "label = zero\n");
    initialize();
    EXPECT_TRUE(events().empty()) << "tokens present at start are no events";

    insert(kHighSlot, "label = high\n");
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{kHighSlot});
    // The two-call protocol of C_GetSlotList, a buffer too small included.
    CK_SLOT_ID slots[3] = {};
    CK_ULONG count = 1;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(slotList(), (std::vector<CK_SLOT_ID>{0, 1, kHighSlot}));
    EXPECT_TRUE(tokenPresent(kHighSlot));
    EXPECT_TRUE(events().empty());

    remove(kHighSlot);
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{kHighSlot});
    EXPECT_TRUE(tokenPresent(1));
    // The slot stays known, as an empty one.
    EXPECT_FALSE(tokenPresent(kHighSlot));
    EXPECT_EQ(slotList(true), (std::vector<CK_SLOT_ID>{0, 1}));
    EXPECT_EQ(slotList(false), (std::vector<CK_SLOT_ID>{0, 1, kHighSlot}));
    CK_TOKEN_INFO info{};
    EXPECT_EQ(C_GetTokenInfo(kHighSlot, &info), CKR_TOKEN_NOT_PRESENT);
    CK_SLOT_INFO slotInfo{};
    EXPECT_EQ(C_GetSlotInfo(99, &slotInfo), CKR_SLOT_ID_INVALID);
}

TEST_F(SlotEvents, ChangesBetweenTwoPollsAreSeenOneAfterAnother) {
    insert(3, "label = old\n");
    insert(5, "label = before\n");
    initialize();
    remove(3);
    insert(3, "label = new\n");
    insert(5, "label = after\n");  // replaced in place: a removal, then an insertion

    CK_SLOT_ID slot = 0;
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 3u);
    EXPECT_FALSE(tokenPresent(3)) << "the removal comes first";
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 3u);
    EXPECT_EQ(tokenLabel(3), "new");
    EXPECT_EQ(events(), (std::vector<CK_SLOT_ID>{5, 5}));
    EXPECT_EQ(tokenLabel(5), "after");
}

TEST_F(SlotEvents, HalfWrittenAndForeignFilesStayInvisible) {
    initialize();
    std::ofstream(tokenDir / ".5.tmp") << "label = half writ";
    std::ofstream(tokenDir / "5~") << "label = editor backup\n";
    std::ofstream(tokenDir / "007") << "label = leading zeros\n";
    std::ofstream(tokenDir / "9") << "label = broken\nno equals sign here\n";
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(slotList().empty());

    std::ofstream(tokenDir / ".5.tmp", std::ios::app) << "ten\n";
    fs::rename(tokenDir / ".5.tmp", tokenDir / "5");
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{5});
    EXPECT_EQ(tokenLabel(5), "half written");
}

TEST_F(SimTest, SessionsDieWithTheirToken) {
    insert(2, "label = two\n");
    initialize();
    EXPECT_TRUE(events().empty()) << "a client that takes slot events, like the daemon";
    CK_SESSION_HANDLE session = openSession(2);
    remove(2);

    // Gone from the slot, but the application has not taken the event yet.
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_DEVICE_REMOVED);
    CK_SESSION_HANDLE another = 0;
    EXPECT_EQ(C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &another), CKR_DEVICE_REMOVED);

    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{2});
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_SESSION_HANDLE_INVALID);

    // A token inserted again does not bring the old session back.
    insert(2, "label = two again\n");
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{2});
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
    EXPECT_NE(openSession(2), session);
}

}  // namespace
}  // namespace simtest
