// Injected failures: an entry makes one call fail with a chosen code, for its own token only.

#include "SimClient.h"

#include <functional>

namespace simtest {
namespace {

// An unusual code, so that a pass cannot come from an ordinary error path.
constexpr CK_RV kInjected = 0x80000123UL;

struct FailingCall {
    std::string name;
    // Makes the call for a token's slot (preparing what it needs) and returns its result.
    std::function<CK_RV(CK_SLOT_ID)> call;
};

std::ostream& operator<<(std::ostream& out, const FailingCall& call) {
    return out << call.name;
}

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

// Calls one of the slot's information calls with room for whatever it writes.
template <typename Record>
CK_RV withBuffer(CK_RV (*call)(CK_SLOT_ID, Record*), CK_SLOT_ID slot) {
    std::vector<Record> record(256);
    return call(slot, record.data());
}

const std::vector<FailingCall> kPerTokenCalls = {
    {"C_GetSlotInfo", [](CK_SLOT_ID slot) { return withBuffer(C_GetSlotInfo, slot); }},
    {"C_GetTokenInfo", [](CK_SLOT_ID slot) { return withBuffer(C_GetTokenInfo, slot); }},
    {"C_OpenSession",
     [](CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = 0;
         return C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
     }},
    {"C_CloseSession", [](CK_SLOT_ID slot) { return C_CloseSession(sessionOn(slot)); }},
    {"C_Login", [](CK_SLOT_ID slot) { return login(sessionOn(slot)); }},
    {"C_Logout",
     [](CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = sessionOn(slot);
         EXPECT_EQ(login(session), CKR_OK);
         return C_Logout(session);
     }},
    {"C_FindObjectsInit",
     [](CK_SLOT_ID slot) { return C_FindObjectsInit(sessionOn(slot), nullptr, 0); }},
    {"C_FindObjects",
     [](CK_SLOT_ID slot) {
         CK_OBJECT_HANDLE objects[4];
         CK_ULONG count = 0;
         return C_FindObjects(searching(slot), objects, 4, &count);
     }},
    {"C_FindObjectsFinal", [](CK_SLOT_ID slot) { return C_FindObjectsFinal(searching(slot)); }},
    {"C_GetAttributeValue",
     [](CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = searching(slot);
         CK_OBJECT_HANDLE object = 0;
         CK_ULONG count = 0;
         EXPECT_EQ(C_FindObjects(session, &object, 1, &count), CKR_OK);
         EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
         CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
         return C_GetAttributeValue(session, object, &label, 1);
     }},
    {"KX_GetISD", [](CK_SLOT_ID slot) { return withBuffer(KX_GetISD, slot); }},
    {"KX_PKI_ReadPinCounters",
     [](CK_SLOT_ID slot) {
         uint64_t words[KX_PKI_COUNTER_WORDS];
         return KX_PKI_ReadPinCounters(slot, KX_USER_TYPE_USER, words);
     }},
    {"KX_PKI_GetComplexity",
     [](CK_SLOT_ID slot) { return withBuffer(KX_PKI_GetComplexity, slot); }},
    {"KX_PJ_GetPinCounters",
     [](CK_SLOT_ID slot) {
         uint64_t words[KX_PJ_COUNTER_WORDS];
         return KX_PJ_GetPinCounters(slot, KX_USER_TYPE_SO, words);
     }},
    {"KX_PJ_GetCapabilities",
     [](CK_SLOT_ID slot) { return withBuffer(KX_PJ_GetCapabilities, slot); }},
    {"KX_PJ_GetUserPinPolicy",
     [](CK_SLOT_ID slot) { return withBuffer(KX_PJ_GetUserPinPolicy, slot); }},
    {"KX_CT1_ReadPinCounters",
     [](CK_SLOT_ID slot) { return withBuffer(KX_CT1_ReadPinCounters, slot); }},
    {"KX_TL_ReadPinCounters",
     [](CK_SLOT_ID slot) { return withBuffer(KX_TL_ReadPinCounters, slot); }},
};

class PerTokenFailure : public SimTest, public testing::WithParamInterface<FailingCall> {};

TEST_P(PerTokenFailure, FailsOnlyOnTheTokenThatAsks) {
    const std::string token = "user-pin = 1234\nprofile = user@example.org\n";
    insert(10, token + "fail = " + GetParam().name + " 0x80000123\n");
    insert(11, token);
    initialize();
    EXPECT_EQ(GetParam().call(10), kInjected);
    EXPECT_EQ(GetParam().call(11), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, PerTokenFailure, testing::ValuesIn(kPerTokenCalls),
                         [](const testing::TestParamInfo<FailingCall>& info) {
                             return info.param.name;
                         });

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
