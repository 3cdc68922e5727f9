// The simulated library and kxsim in what the daemon's tests do not drive: failures injected into
// calls the daemon never sees fail, the two-call protocols, bridge mode in front of SoftHSM2 and
// kxsim's errors, and slot events merged as real libraries merge them. (Slot events, searches,
// retry counters, the maker's records, the reader's and PIN checks' failing calls, bridge mode's
// slot events: the daemon's unit and system tests.)

#include <algorithm>
#include <cstring>
#include <functional>

#include "SimClient.h"

namespace simtest {
namespace {

// Calls a slot's record call with room for whatever it writes.
template <typename Record>
CK_RV withBuffer(CK_RV (*call)(CK_SLOT_ID, Record*), CK_SLOT_ID slot) {
    std::vector<Record> record(256);
    return call(slot, record.data());
}

// Each call for a token's slot that the daemon's tests do not fail, preparing what it needs.
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

TEST_F(SimTest, LengthsValuesAndWhatDoesNotFitOrIsMissing) {
    insert(
        5,
        "label = Ivanov\n[certificate]\nid = 0a:0b\nlabel = Ivanov signing\nfile = " KXSIM_TEST_DATA
        "/boris.der\n[certificate]\nlabel = Outside\nid =\nfile = " KXSIM_TEST_DATA
        "/alice.pem\n[certificate]\nlabel = No value\nid = 01\n");
    insert(7, "label = another\n");
    initialize();
    CK_SLOT_ID slots[2] = {};
    CK_ULONG count = 1;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    CK_SESSION_HANDLE session = openSession(5);
    auto handles = find(session, {is(CKA_CLASS, certificateClass)});
    ASSERT_EQ(handles.size(), 3u);
    const std::string boris = readFile(KXSIM_TEST_DATA "/boris.der");
    CK_ATTRIBUTE query[] = {{CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    ASSERT_EQ(C_GetAttributeValue(session, handles[0], query, 3), CKR_OK);
    EXPECT_EQ(query[0].ulValueLen, 2u);
    EXPECT_EQ(query[1].ulValueLen, std::strlen("Ivanov signing"));
    EXPECT_EQ(query[2].ulValueLen, boris.size());
    EXPECT_EQ(attribute(session, handles[0], CKA_ID), std::string("\x0a\x0b"));
    EXPECT_EQ(attribute(session, handles[0], CKA_VALUE), boris);
    EXPECT_EQ(attribute(session, handles[1], CKA_ID), "") << "an empty id is present, length 0";

    // The object without a value: the attributes it has are still filled in.
    CK_ATTRIBUTE partial[] = {{CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], partial, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(partial[0].ulValueLen, std::strlen("No value"));
    EXPECT_EQ(partial[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    char small[7];  // one byte short
    CK_ATTRIBUTE label = {CKA_LABEL, small, sizeof small};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], &label, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(label.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

// A slot's changes between two polls come as one event, showing the slot as it is then; slots
// come in the order of their first change not yet reported.
TEST_F(SimTest, ChangesOfASlotBetweenTwoPollsAreOneEvent) {
    insert(5, "label = first\n");
    initialize();
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    CK_SESSION_HANDLE first = openSession(5);
    remove(5);
    insert(6, "label = other\n");
    insert(5, "label = second\n");
    std::vector<std::pair<CK_SLOT_ID, std::string>> events;  // the label, or "" for none
    while (C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) == CKR_OK) {
        CK_SLOT_INFO info{};
        ASSERT_EQ(C_GetSlotInfo(slot, &info), CKR_OK);
        events.emplace_back(slot, (info.flags & CKF_TOKEN_PRESENT) ? tokenLabel(slot) : "");
    }
    EXPECT_EQ(events,
              (std::vector<std::pair<CK_SLOT_ID, std::string>>{{5, "second"}, {6, "other"}}));
    CK_SESSION_INFO session{};
    EXPECT_EQ(C_GetSessionInfo(first, &session), CKR_SESSION_HANDLE_INVALID);
}

const std::string kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

TEST_F(SimTest, BridgedSoftHsmCertificatesAndTheirAttributesComeThrough) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "bridge mode needs RTLD_DEEPBIND, which the sanitizers refuse";
#endif
    if (access("/usr/bin/softhsm2-util", X_OK) != 0 || access("/usr/bin/pkcs11-tool", X_OK) != 0 ||
        !fs::exists(kSoftHsm)) {
        GTEST_SKIP() << "softhsm2 and opensc are needed for bridge mode";
    }
    // SoftHSM2 keeps its configuration and tokens beside the test, never the system's.
    fs::path hsm = tokenDir.parent_path() / (testName() + ".softhsm");
    fs::remove_all(hsm);
    fs::create_directories(hsm / "tokens");
    std::ofstream(hsm / "softhsm2.conf")
        << "directories.tokendir = " << (hsm / "tokens").string() << "\n"
        << "objectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
    setenv("SOFTHSM2_CONF", (hsm / "softhsm2.conf").c_str(), 1);
    std::string scratch = (hsm / "run").string();
    auto init = run({"softhsm2-util", "--init-token", "--free", "--label", "bridge", "--pin",
                     "1234", "--so-pin", "12345678"},
                    scratch);
    ASSERT_EQ(init.status, 0) << init.err;
    auto write = run({"pkcs11-tool", "--module", kSoftHsm, "--token-label", "bridge", "--login",
                      "--pin", "1234", "--write-object", KXSIM_TEST_DATA "/boris.der", "--type",
                      "cert", "--id", "0b0c", "--label", "Boris cert"},
                     scratch);
    ASSERT_EQ(write.status, 0) << write.err;
    setenv("KXSIM_BRIDGE_MODULE", kSoftHsm.c_str(), 1);
    initialize();

    std::vector<CK_SLOT_ID> slots = slotList();
    auto bridged = std::find_if(slots.begin(), slots.end(),
                                [this](CK_SLOT_ID slot) { return tokenLabel(slot) == "bridge"; });
    ASSERT_NE(bridged, slots.end());
    CK_SESSION_HANDLE session = openSession(*bridged);
    auto certificates = find(session, {is(CKA_CLASS, certificateClass)});
    ASSERT_EQ(certificates.size(), 1u);
    EXPECT_EQ(attribute(session, certificates[0], CKA_ID), std::string("\x0b\x0c"));
    EXPECT_EQ(attribute(session, certificates[0], CKA_VALUE),
              readFile(KXSIM_TEST_DATA "/boris.der"));
    CK_UTF8CHAR wrong[] = {'0', '0', '0', '0'};
    EXPECT_EQ(C_Login(session, CKU_USER, wrong, sizeof wrong), CKR_PIN_INCORRECT);
    unsetenv("SOFTHSM2_CONF");
}

TEST_F(SimTest, KxsimBadInputGetsAClearErrorAndLeavesNothingBehind) {
    auto kxsim = [this](std::vector<std::string> args) {
        args.insert(args.begin(), {KXSIM_TOOL, "--dir", tokenDir.string()});
        return run(args, (tokenDir.parent_path() / (testName() + ".kxsim")).string());
    };
    fs::path badEntry = tokenDir.parent_path() / "bad.entry";
    std::ofstream(badEntry) << "label = ok\nlable = typo\n";
    ASSERT_EQ(kxsim({"insert", "2"}).status, 0);
    // The arguments; the exit status and the first line of the error.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"insert", "05"},
         "2 kxsim: SLOT must be a decimal slot id without leading zeros, not \"05\""},
        {{"insert", "5", "--fail", "C_Login=CKR_OOPS"},
         "2 kxsim: --fail: fail has an unknown return code \"CKR_OOPS\""},
        {{"insert", "5", "--from", badEntry.string()},
         "2 kxsim: " + badEntry.string() + ": line 2: unknown key \"lable\""},
        {{"insert", "2"},
         "1 kxsim: slot 2 already holds a token; remove it first or use --replace"},
        {{"remove", "6"}, "1 kxsim: no token in slot 6"},
    };
    for (const auto& [args, error] : cases) {
        ProcessResult result = kxsim(args);
        EXPECT_EQ(std::to_string(result.status) + " " + result.err.substr(0, result.err.find('\n')),
                  error);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tokenDir), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace simtest
