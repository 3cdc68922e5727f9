// Injected failures: an entry makes one call fail with a chosen code, for its own token only.

#include "SimClient.h"

#include <functional>

namespace simtest {
namespace {

// An unusual code, so that a pass cannot come from an ordinary error path.
constexpr CK_RV kInjected = 0x80000123UL;
constexpr CK_SLOT_ID kFailing = 10;
constexpr CK_SLOT_ID kHealthy = 11;

struct FailingCall {
    std::string name;
    // Makes the call on a token (preparing what it needs) and returns the call's result.
    std::function<CK_RV(SimTest&, CK_SLOT_ID)> call;
};

std::ostream& operator<<(std::ostream& out, const FailingCall& call) { return out << call.name; }

// Opens a session on the slot as the tests' client does.
CK_SESSION_HANDLE sessionOn(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                            &session),
              CKR_OK);
    return session;
}

CK_OBJECT_HANDLE firstObject(CK_SESSION_HANDLE session) {
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG count = 0;
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_FindObjects(session, &object, 1, &count), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(count, 1u);
    return object;
}

const std::vector<FailingCall> kPerTokenCalls = {
    {"C_GetSlotInfo",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_SLOT_INFO info{};
         return C_GetSlotInfo(slot, &info);
     }},
    {"C_GetTokenInfo",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_TOKEN_INFO info{};
         return C_GetTokenInfo(slot, &info);
     }},
    {"C_OpenSession",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = 0;
         return C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                              &session);
     }},
    {"C_CloseSession", [](SimTest&, CK_SLOT_ID slot) { return C_CloseSession(sessionOn(slot)); }},
    {"C_Login",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
         return C_Login(sessionOn(slot), CKU_USER, pin, sizeof pin);
     }},
    {"C_Logout",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = sessionOn(slot);
         CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
         EXPECT_EQ(C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
         return C_Logout(session);
     }},
    {"C_FindObjectsInit",
     [](SimTest&, CK_SLOT_ID slot) { return C_FindObjectsInit(sessionOn(slot), nullptr, 0); }},
    {"C_FindObjects",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = sessionOn(slot);
         EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_OK);
         CK_OBJECT_HANDLE objects[4];
         CK_ULONG count = 0;
         return C_FindObjects(session, objects, 4, &count);
     }},
    {"C_FindObjectsFinal",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = sessionOn(slot);
         EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_OK);
         return C_FindObjectsFinal(session);
     }},
    {"C_GetAttributeValue",
     [](SimTest&, CK_SLOT_ID slot) {
         CK_SESSION_HANDLE session = sessionOn(slot);
         CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
         return C_GetAttributeValue(session, firstObject(session), &label, 1);
     }},
    {"KX_GetISD",
     [](SimTest&, CK_SLOT_ID slot) {
         unsigned char isd[KX_ISD_SIZE];
         return KX_GetISD(slot, isd);
     }},
    {"KX_PKI_ReadPinCounters",
     [](SimTest&, CK_SLOT_ID slot) {
         uint64_t words[KX_PKI_COUNTER_WORDS];
         return KX_PKI_ReadPinCounters(slot, KX_USER_TYPE_USER, words);
     }},
    {"KX_PKI_GetComplexity",
     [](SimTest&, CK_SLOT_ID slot) {
         unsigned char record[KX_PKI_COMPLEXITY_SIZE];
         return KX_PKI_GetComplexity(slot, record);
     }},
    {"KX_PJ_GetPinCounters",
     [](SimTest&, CK_SLOT_ID slot) {
         uint64_t words[KX_PJ_COUNTER_WORDS];
         return KX_PJ_GetPinCounters(slot, KX_USER_TYPE_SO, words);
     }},
    {"KX_PJ_GetCapabilities",
     [](SimTest&, CK_SLOT_ID slot) {
         unsigned char record[KX_PJ_CAPABILITIES_SIZE];
         return KX_PJ_GetCapabilities(slot, record);
     }},
    {"KX_PJ_GetUserPinPolicy",
     [](SimTest&, CK_SLOT_ID slot) {
         unsigned char record[KX_PJ_PIN_POLICY_SIZE];
         return KX_PJ_GetUserPinPolicy(slot, record);
     }},
    {"KX_CT1_ReadPinCounters",
     [](SimTest&, CK_SLOT_ID slot) {
         uint64_t words[KX_CT1_COUNTER_WORDS];
         return KX_CT1_ReadPinCounters(slot, words);
     }},
    {"KX_TL_ReadPinCounters",
     [](SimTest&, CK_SLOT_ID slot) {
         uint64_t words[KX_TL_COUNTER_WORDS];
         return KX_TL_ReadPinCounters(slot, words);
     }},
};

class PerTokenFailure : public SimTest, public testing::WithParamInterface<FailingCall> {};

TEST_P(PerTokenFailure, FailsOnlyOnTheTokenThatAsks) {
    const std::string token = "user-pin = 1234\nprofile = user@example.org\n";
    insert(kFailing, token + "fail = " + GetParam().name + " 0x80000123\n");
    insert(kHealthy, token);
    initialize();
    EXPECT_EQ(GetParam().call(*this, kFailing), kInjected);
    EXPECT_EQ(GetParam().call(*this, kHealthy), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, PerTokenFailure, testing::ValuesIn(kPerTokenCalls),
                         [](const testing::TestParamInfo<FailingCall>& info) {
                             return info.param.name;
                         });

using LibraryWideFailure = SimTest;

TEST_F(LibraryWideFailure, InitializeFailsWhileSuchATokenIsInserted) {
    insert(kFailing, "fail = C_Initialize CKR_DEVICE_ERROR\n");
    EXPECT_EQ(C_Initialize(nullptr), CKR_DEVICE_ERROR);
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    remove(kFailing);
    EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
}

TEST_F(LibraryWideFailure, FinalizeFailsAndLeavesTheLibraryInitialized) {
    insert(kFailing, "fail = C_Finalize 0x80000123\n");
    initialize();
    EXPECT_EQ(C_Finalize(nullptr), kInjected);
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    remove(kFailing);
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{kFailing});
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

TEST_F(LibraryWideFailure, SlotListFailsForCountAndListAlike) {
    initialize();
    insert(kFailing, "fail = C_GetSlotList CKR_GENERAL_ERROR\n");
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{kFailing});
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_GENERAL_ERROR);
    CK_SLOT_ID slots[4];
    count = 4;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_GENERAL_ERROR);
    remove(kFailing);
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{kFailing});
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
}

}  // namespace
}  // namespace simtest
