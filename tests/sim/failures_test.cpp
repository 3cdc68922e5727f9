// Injected failures: an entry makes one call fail with a chosen code, for its own token only.
// (The daemon's tests inject failures into the calls its reader, PIN checks and library start
// make; here the calls they do not fail.)

#include "SimClient.h"

#include <functional>

namespace simtest {
namespace {

// Calls a slot's record call with room for whatever it writes.
template <typename Record>
CK_RV withBuffer(CK_RV (*call)(CK_SLOT_ID, Record*), CK_SLOT_ID slot) {
    std::vector<Record> record(256);
    return call(slot, record.data());
}

// Each call for a token's slot, preparing what it needs; its result.
const std::vector<std::pair<std::string, std::function<CK_RV(CK_SLOT_ID)>>> kPerTokenCalls = {
    {"C_GetSlotInfo", [](CK_SLOT_ID s) { return withBuffer(C_GetSlotInfo, s); }},
    {"C_CloseSession", [](CK_SLOT_ID s) { return C_CloseSession(openSession(s)); }},
    {"C_Logout",
     [](CK_SLOT_ID s) {
         CK_SESSION_HANDLE session = openSession(s);
         CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
         EXPECT_EQ(C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
         return C_Logout(session);
     }},
    {"KX_PKI_ReadPinCounters",
     [](CK_SLOT_ID s) {
         uint64_t words[KX_PKI_COUNTER_WORDS];
         return KX_PKI_ReadPinCounters(s, KX_USER_TYPE_USER, words);
     }},
    {"KX_PJ_GetPinCounters",
     [](CK_SLOT_ID s) {
         uint64_t words[KX_PJ_COUNTER_WORDS];
         return KX_PJ_GetPinCounters(s, KX_USER_TYPE_SO, words);
     }},
    {"KX_PJ_GetUserPinPolicy", [](CK_SLOT_ID s) { return withBuffer(KX_PJ_GetUserPinPolicy, s); }},
    {"KX_CT1_ReadPinCounters", [](CK_SLOT_ID s) { return withBuffer(KX_CT1_ReadPinCounters, s); }},
    {"KX_TL_ReadPinCounters", [](CK_SLOT_ID s) { return withBuffer(KX_TL_ReadPinCounters, s); }},
};

TEST_F(SimTest, InjectedCallFailsOnlyOnTheTokenThatAsks) {
    CK_SLOT_ID slot = 10;
    for (const auto& [name, call] : kPerTokenCalls) {
        // An unusual code, so that a pass cannot come from an ordinary error path.
        insert(slot, "user-pin = 1234\nfail = " + name + " 0x80000123\n");
        insert(slot + 1, "user-pin = 1234\n");
        slot += 2;
    }
    initialize();
    slot = 10;
    for (const auto& [name, call] : kPerTokenCalls) {
        EXPECT_EQ(call(slot), 0x80000123UL) << name;
        EXPECT_EQ(call(slot + 1), CKR_OK) << name;
        slot += 2;
    }
}

}  // namespace
}  // namespace simtest
