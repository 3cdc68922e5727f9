// Injected failures: an entry makes one call fail with a chosen code, for its own token only.

#include "SimClient.h"

#include <functional>

namespace simtest {
namespace {

CK_SESSION_HANDLE sessionOn(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              CKR_OK);
    return session;
}

// A session with a search started.
CK_SESSION_HANDLE searching(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = sessionOn(slot);
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    return session;
}

CK_RV login(CK_SESSION_HANDLE session) {
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    return C_Login(session, CKU_USER, pin, sizeof pin);
}

// Calls a slot's record call with room for whatever it writes.
template <typename Record>
CK_RV withBuffer(CK_RV (*call)(CK_SLOT_ID, Record*), CK_SLOT_ID slot) {
    std::vector<Record> record(256);
    return call(slot, record.data());
}

// Each call for a token's slot, preparing what it needs; its result.
const std::vector<std::pair<std::string, std::function<CK_RV(CK_SLOT_ID)>>> kPerTokenCalls = {
    {"C_GetSlotInfo", [](CK_SLOT_ID s) { return withBuffer(C_GetSlotInfo, s); }},
    {"C_GetTokenInfo", [](CK_SLOT_ID s) { return withBuffer(C_GetTokenInfo, s); }},
    {"C_OpenSession",
     [](CK_SLOT_ID s) {
         CK_SESSION_HANDLE session = 0;
         return C_OpenSession(s, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
     }},
    {"C_CloseSession", [](CK_SLOT_ID s) { return C_CloseSession(sessionOn(s)); }},
    {"C_Login", [](CK_SLOT_ID s) { return login(sessionOn(s)); }},
    {"C_Logout",
     [](CK_SLOT_ID s) {
         CK_SESSION_HANDLE session = sessionOn(s);
         EXPECT_EQ(login(session), CKR_OK);
         return C_Logout(session);
     }},
    {"C_FindObjectsInit", [](CK_SLOT_ID s) { return C_FindObjectsInit(sessionOn(s), nullptr, 0); }},
    {"C_FindObjects",
     [](CK_SLOT_ID s) {
         CK_OBJECT_HANDLE objects[4];
         CK_ULONG count = 0;
         return C_FindObjects(searching(s), objects, 4, &count);
     }},
    {"C_FindObjectsFinal", [](CK_SLOT_ID s) { return C_FindObjectsFinal(searching(s)); }},
    {"C_GetAttributeValue",
     [](CK_SLOT_ID s) {
         CK_SESSION_HANDLE session = searching(s);
         CK_OBJECT_HANDLE object = 0;
         CK_ULONG count = 0;
         EXPECT_EQ(C_FindObjects(session, &object, 1, &count), CKR_OK);
         EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
         CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
         return C_GetAttributeValue(session, object, &label, 1);
     }},
    {"KX_GetISD", [](CK_SLOT_ID s) { return withBuffer(KX_GetISD, s); }},
    {"KX_PKI_ReadPinCounters",
     [](CK_SLOT_ID s) {
         uint64_t words[KX_PKI_COUNTER_WORDS];
         return KX_PKI_ReadPinCounters(s, KX_USER_TYPE_USER, words);
     }},
    {"KX_PKI_GetComplexity", [](CK_SLOT_ID s) { return withBuffer(KX_PKI_GetComplexity, s); }},
    {"KX_PJ_GetPinCounters",
     [](CK_SLOT_ID s) {
         uint64_t words[KX_PJ_COUNTER_WORDS];
         return KX_PJ_GetPinCounters(s, KX_USER_TYPE_SO, words);
     }},
    {"KX_PJ_GetCapabilities", [](CK_SLOT_ID s) { return withBuffer(KX_PJ_GetCapabilities, s); }},
    {"KX_PJ_GetUserPinPolicy", [](CK_SLOT_ID s) { return withBuffer(KX_PJ_GetUserPinPolicy, s); }},
    {"KX_CT1_ReadPinCounters", [](CK_SLOT_ID s) { return withBuffer(KX_CT1_ReadPinCounters, s); }},
    {"KX_TL_ReadPinCounters", [](CK_SLOT_ID s) { return withBuffer(KX_TL_ReadPinCounters, s); }},
};

TEST_F(SimTest, EveryInjectableCallFailsOnlyOnTheTokenThatAsks) {
    const std::string token = "user-pin = 1234\nprofile = user@example.org\n";
    CK_SLOT_ID slot = 10;
    for (const auto& [name, call] : kPerTokenCalls) {
        // An unusual code, so that a pass cannot come from an ordinary error path.
        insert(slot, token + "fail = " + name + " 0x80000123\n");
        insert(slot + 1, token);
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

// The reader's tests meet C_Initialize and C_Finalize failing through the daemon's calls.
TEST_F(SimTest, LibraryWideFailureLastsWhileSuchATokenIsInserted) {
    initialize();
    insert(11, "fail = C_GetSlotList CKR_GENERAL_ERROR\n");
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{11});
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_GENERAL_ERROR);
    remove(11);
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{11});
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
}

}  // namespace
}  // namespace simtest
