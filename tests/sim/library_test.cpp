// The simulated library and kxsim in what the daemon's tests do not drive: failures injected into
// calls the daemon never sees fail, the two-call protocols, bridge mode in front of SoftHSM2 and
// kxsim's errors, slot events merged as real libraries merge them, threaded callers beside slow
// and hanging calls, and the library-wide faults (a refused locking, a failing or hanging event
// poll, absurd slot counts). (Slot events, searches, retry counters, the maker's records, the
// reader's and PIN checks' failing calls: the daemon's unit and system tests.) The tests talk to
// the library only through its exported functions, each with a token directory of its own
// under the build tree.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "TestThreads.h"
#include "TestToken.h"
#include "kxpkcs11.h"

namespace {

namespace fs = std::filesystem;
using testfiles::contentOf;
using testthreads::CallThread;

const std::string kBoris = contentOf(KXSIM_TEST_DATA "/boris.der");

std::string testName() {
    return testing::UnitTest::GetInstance()->current_test_info()->name();
}

// Runs a program; its exit status (-1 when it did not exit) and the first line of its errors.
// The tests' own arguments hold no single quote.
std::string run(const std::vector<std::string>& args) {
    const std::string errors = (fs::path(KX_TEST_OUTPUT_DIR) / (testName() + ".err")).string();
    std::string command;
    for (const std::string& arg : args) {
        command += "'" + arg + "' ";
    }
    int status = std::system((command + "</dev/null >/dev/null 2>'" + errors + "'").c_str());
    std::string error = contentOf(errors);
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " +
           error.substr(0, error.find('\n'));
}

// The token's label, which must come blank padded.
std::string tokenLabel(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(C_GetTokenInfo(slot, &info), CKR_OK);
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    return label.substr(0, label.find_last_not_of(' ') + 1);
}

CK_SESSION_HANDLE openSession(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              CKR_OK);
    return session;
}

std::vector<CK_OBJECT_HANDLE> certificates(CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
    CK_ATTRIBUTE pattern = {CKA_CLASS, &certificate, sizeof certificate};
    EXPECT_EQ(C_FindObjectsInit(session, &pattern, 1), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> found(1000);
    CK_ULONG count = 0;
    EXPECT_EQ(C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
    found.resize(count);
    return found;
}

// One attribute through the length query and the value call; nothing when it is missing.
std::optional<std::string> attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                     CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query = {type, nullptr, 0};
    if (C_GetAttributeValue(session, object, &query, 1) != CKR_OK) {
        return std::nullopt;
    }
    std::string value(query.ulValueLen, '\0');
    query.pValue = value.data();
    EXPECT_EQ(C_GetAttributeValue(session, object, &query, 1), CKR_OK);
    return value;
}

// The first certificate or profile object of a session's token.
CK_OBJECT_HANDLE firstObject(CK_SESSION_HANDLE session) {
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG count = 0;
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_FindObjects(session, &object, 1, &count), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
    return object;
}

CK_C_INITIALIZE_ARGS osLocking() {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return args;
}

class SimTest : public testing::Test {
protected:
    void TearDown() override { C_Finalize(nullptr); }
    void initialize() { ASSERT_EQ(C_Initialize(nullptr), CKR_OK); }
    void initializeForThreads() {
        CK_C_INITIALIZE_ARGS args = osLocking();
        ASSERT_EQ(C_Initialize(&args), CKR_OK);
    }
    // Inserts through kxsim, so that its options are what the test reads.
    void kxsimInsert(CK_SLOT_ID slot, std::vector<std::string> options) {
        options.insert(options.begin(),
                       {KXSIM_TOOL, "--dir", tokens_.directory, "insert", std::to_string(slot)});
        ASSERT_EQ(run(options), "0 ");
    }

    testtoken::SimulatedTokens tokens_{testName()};
};

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
    // Token 10 + 2i fails call i, token 11 + 2i beside it does not. An unusual code, so that a
    // pass cannot come from an ordinary error path.
    for (size_t i = 0; i < kPerTokenCalls.size(); ++i) {
        tokens_.insert(10 + 2 * i,
                       "user-pin = 1234\nfail = " + kPerTokenCalls[i].first + " 0x80000123\n");
        tokens_.insert(11 + 2 * i, std::string("user-pin = 1234\n"));
    }
    initialize();
    for (size_t i = 0; i < kPerTokenCalls.size(); ++i) {
        const auto& [name, call] = kPerTokenCalls[i];
        EXPECT_EQ(call(10 + 2 * i), 0x80000123UL) << name;
        EXPECT_EQ(call(11 + 2 * i), CKR_OK) << name;
    }
}

TEST_F(SimTest, LengthsValuesAndWhatDoesNotFitOrIsMissing) {
    tokens_.insert(
        5,
        "label = Ivanov\n[certificate]\nid = 0a:0b\nlabel = Ivanov signing\nfile = " KXSIM_TEST_DATA
        "/boris.der\n[certificate]\nlabel = Outside\nid =\nfile = " KXSIM_TEST_DATA
        "/alice.pem\n[certificate]\nlabel = No value\nid = 01\n");
    tokens_.insert(7, std::string("label = another\n"));
    initialize();
    CK_SLOT_ID slots[2] = {};
    CK_ULONG count = 1;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    CK_SESSION_HANDLE session = openSession(5);
    auto handles = certificates(session);
    ASSERT_EQ(handles.size(), 3u);
    CK_ATTRIBUTE query[] = {{CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    ASSERT_EQ(C_GetAttributeValue(session, handles[0], query, 3), CKR_OK);
    EXPECT_EQ(query[0].ulValueLen, 2u);
    EXPECT_EQ(query[1].ulValueLen, std::strlen("Ivanov signing"));
    EXPECT_EQ(query[2].ulValueLen, kBoris.size());
    EXPECT_EQ(attribute(session, handles[0], CKA_ID), std::string("\x0a\x0b"));
    EXPECT_EQ(attribute(session, handles[0], CKA_VALUE), kBoris);
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
// come in the order of their first change not yet reported, except that a removal does not wait
// for entries written before it to be parsed.
TEST_F(SimTest, ChangesOfASlotBetweenTwoPollsAreOneEvent) {
    tokens_.insert(5, std::string("label = first\n"));
    initialize();
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    CK_SESSION_HANDLE first = openSession(5);
    ASSERT_TRUE(tokens_.remove(5));
    tokens_.insert(6, std::string("label = other\n"));
    tokens_.insert(5, std::string("label = second\n"));
    using Events = std::vector<std::pair<CK_SLOT_ID, std::string>>;  // the label, or "" for none
    auto takeEvents = [&slot] {
        Events events;
        while (C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) == CKR_OK) {
            CK_SLOT_INFO info{};
            EXPECT_EQ(C_GetSlotInfo(slot, &info), CKR_OK);
            events.emplace_back(slot, (info.flags & CKF_TOKEN_PRESENT) ? tokenLabel(slot) : "");
        }
        return events;
    };
    EXPECT_EQ(takeEvents(), (Events{{5, "second"}, {6, "other"}}));
    tokens_.insert(7, std::string("label = later\n"));
    ASSERT_TRUE(tokens_.remove(6));
    EXPECT_EQ(takeEvents(), (Events{{6, ""}, {7, "later"}}));
    CK_SESSION_INFO session{};
    EXPECT_EQ(C_GetSessionInfo(first, &session), CKR_SESSION_HANDLE_INVALID);
}

// A slow card keeps only its own call: another thread's event poll, slot information, listing
// and calls on another token all end while the slow call still waits; a pull ends it at once.
TEST_F(SimTest, ASlowTokenHoldsUpNoOtherThreadAndItsPullEndsTheSlowCall) {
    kxsimInsert(5, {"--profile", "slow@example.org", "--delay", "C_GetAttributeValue=30000"});
    tokens_.insert(6, std::string("label = quick\nprofile = quick@example.org\n"));
    initializeForThreads();
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    CK_SESSION_HANDLE slowSession = openSession(5);
    CK_OBJECT_HANDLE slowProfile = firstObject(slowSession);
    CallThread slow([&] {
        CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
        return C_GetAttributeValue(slowSession, slowProfile, &label, 1);
    });
    ASSERT_TRUE(slow.sleepsInLibrary());

    std::vector<std::string> seen;  // what the other thread saw, in order
    CallThread other([&] {
        CK_SLOT_ID event = 0;
        CK_SLOT_INFO info{};
        CK_ULONG count = 0;
        seen.push_back(std::to_string(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr)));
        seen.push_back(
            std::to_string(C_GetSlotInfo(5, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT)));
        seen.push_back(
            std::to_string(C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK ? count : 0));
        CK_SESSION_HANDLE quick = openSession(6);
        seen.push_back(attribute(quick, firstObject(quick), CKA_LABEL).value_or("none"));
        tokens_.insert(7, std::string("label = later\n"));
        CK_RV rv = C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr);
        seen.push_back(std::to_string(rv) + " " + std::to_string(event));
        return C_CloseSession(quick);
    });
    while (!other.done() && !slow.done()) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(slow.done()) << "the other thread waited for the slow call";
    EXPECT_EQ(other.join(), CKR_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{std::to_string(CKR_NO_EVENT), "1", "2",
                                              "quick@example.org", "0 7"}));
    ASSERT_TRUE(tokens_.remove(5));
    EXPECT_EQ(slow.join(), CKR_DEVICE_REMOVED);
}

// Threads that ask for the library's locking read their tokens, poll events and list slots at
// the same time, while tokens come and go (the thread-sanitized build checks the library too).
TEST_F(SimTest, ThreadsReadTheirTokensAndPollEventsAtOnce) {
    constexpr CK_SLOT_ID kReaders = 4;
    for (CK_SLOT_ID slot = 1; slot <= kReaders; ++slot) {
        tokens_.insert(slot, "user-pin = 1234\nprofile = user" + std::to_string(slot) + "@x\n");
    }
    initializeForThreads();
    std::atomic<bool> reading{true};
    std::vector<std::string> wrong;  // reads that came back wrong, by the poller or a reader
    std::mutex wrongMutex;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(wrongMutex);
        wrong.push_back(what);
    };
    std::atomic<int> events{0};  // of the passing token; any other counts as wrong
    CallThread poller([&] {
        CK_SLOT_ID slot = 0;
        CK_ULONG count = 0;
        while (reading) {
            CK_RV rv = C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
            if (rv == CKR_OK && slot == 9) {
                ++events;
            } else if (rv != CKR_NO_EVENT) {
                note("event " + std::to_string(rv) + " of slot " + std::to_string(slot));
            }
            if (C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count < kReaders) {
                note("slot count " + std::to_string(count));
            }
        }
        return CKR_OK;
    });
    std::vector<std::unique_ptr<CallThread>> readers;
    for (CK_SLOT_ID slot = 1; slot <= kReaders; ++slot) {
        readers.push_back(std::make_unique<CallThread>([&, slot] {
            const std::string profile = "user" + std::to_string(slot) + "@x";
            CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
            for (int round = 0; round < 200; ++round) {
                CK_SESSION_HANDLE session = openSession(slot);
                CK_RV login = C_Login(session, CKU_USER, pin, sizeof pin);
                auto label = attribute(session, firstObject(session), CKA_LABEL);
                if (login != CKR_OK || label != profile || C_CloseSession(session) != CKR_OK) {
                    note(profile + " read " + label.value_or("nothing"));
                }
            }
            return CKR_OK;
        }));
    }
    // A token comes and goes meanwhile, each change taken as an event before the next.
    for (int round = 0; round < 20 && !poller.done(); ++round) {
        if (round % 2 == 0) {
            tokens_.insert(9, std::string("label = passing\n"));
        } else {
            tokens_.remove(9);
        }
        while (events < round + 1 && !poller.done()) {
            std::this_thread::yield();
        }
    }
    for (auto& reader : readers) {
        EXPECT_EQ(reader->join(), CKR_OK);
    }
    reading = false;
    poller.join();
    EXPECT_EQ(events, 20);
    EXPECT_EQ(wrong, std::vector<std::string>{});
}

// A token can make the library refuse its own locking: only callers that ask for it fail.
TEST_F(SimTest, ATokenMakesTheLibraryRefuseItsOwnLocking) {
    kxsimInsert(5, {"--fail", "C_Initialize/locking=CKR_CANT_LOCK"});
    CK_C_INITIALIZE_ARGS locking = osLocking();
    CK_C_INITIALIZE_ARGS noFlags{};
    const std::pair<CK_C_INITIALIZE_ARGS*, CK_RV> cases[] = {
        {&locking, CKR_CANT_LOCK}, {&noFlags, CKR_OK}, {nullptr, CKR_OK}};
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(C_Initialize(args), expected) << (args ? args->flags : 99);
        CK_ULONG count = 0;
        EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count),
                  expected == CKR_OK ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED);
        C_Finalize(nullptr);
    }
}

// The event poll fails while a token that asks is in its slot (from the poll after the one
// that reported it), and reports that token's removal as soon as it is gone.
TEST_F(SimTest, EventPollFailsWhileTheTokenThatAsksIsIn) {
    tokens_.insert(4, std::string("label = plain\n"));
    initialize();
    kxsimInsert(5, {"--fail", "C_WaitForSlotEvent=CKR_DEVICE_ERROR"});
    std::vector<std::pair<CK_RV, CK_SLOT_ID>> polls;
    CK_SLOT_ID slot = 1234;
    for (int i = 0; i < 3; ++i) {
        polls.emplace_back(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), slot);
    }
    ASSERT_TRUE(tokens_.remove(5));
    for (int i = 0; i < 2; ++i) {
        polls.emplace_back(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), slot);
    }
    EXPECT_EQ(polls, (std::vector<std::pair<CK_RV, CK_SLOT_ID>>{{CKR_OK, 5},
                                                                {CKR_DEVICE_ERROR, 5},
                                                                {CKR_DEVICE_ERROR, 5},
                                                                {CKR_OK, 5},
                                                                {CKR_NO_EVENT, 5}}));
}

// A hanging call, even a poll told not to block, sleeps until its token leaves or C_Finalize.
TEST_F(SimTest, AHangingCallEndsWhenItsTokenLeavesOrAtFinalize) {
    struct Case {
        const char* call;
        bool finalize;  // else the token is pulled
        CK_RV expected;
    };
    const Case cases[] = {
        {"C_WaitForSlotEvent", false, CKR_OK},  // the poll reports the removal
        {"C_WaitForSlotEvent", true, CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetAttributeValue", false, CKR_DEVICE_REMOVED},
        {"C_GetAttributeValue", true, CKR_CRYPTOKI_NOT_INITIALIZED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + (c.finalize ? " C_Finalize" : " pulled"));
        kxsimInsert(5, {"--profile", "hung@example.org", "--hang", c.call});
        initializeForThreads();
        CK_SESSION_HANDLE session = openSession(5);
        CK_OBJECT_HANDLE profile = firstObject(session);
        CK_SLOT_ID slot = 0;
        CallThread hung([&] {
            if (std::string(c.call) == "C_WaitForSlotEvent") {
                return C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
            }
            CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
            return C_GetAttributeValue(session, profile, &label, 1);
        });
        EXPECT_TRUE(hung.sleepsInLibrary());
        if (c.finalize) {
            EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
        } else {
            ASSERT_TRUE(tokens_.remove(5));
        }
        EXPECT_EQ(hung.join(), c.expected);
        EXPECT_EQ(slot, c.expected == CKR_OK ? 5u : 0u);
        C_Finalize(nullptr);
        tokens_.remove(5);
    }
}

// A token can make C_GetSlotList tell an absurd count, or one that grows at every call.
TEST_F(SimTest, SlotCountsATokenAsksFor) {
    // The slot count; per call the room in the list (nothing: the count alone), and the
    // result and count.
    struct Call {
        std::optional<CK_ULONG> room;
        CK_RV rv;
        CK_ULONG count;
    };
    const std::pair<const char*, std::vector<Call>> cases[] = {
        {"2305843009213693952",
         {{std::nullopt, CKR_OK, 1ULL << 61}, {4, CKR_BUFFER_TOO_SMALL, 1ULL << 61}}},
        {"growing",  // two tokens: 2, then 3, 4, 5
         {{std::nullopt, CKR_OK, 3}, {3, CKR_BUFFER_TOO_SMALL, 4}, {4, CKR_BUFFER_TOO_SMALL, 5}}},
        {"1", {{std::nullopt, CKR_OK, 1}, {1, CKR_OK, 1}}},  // a list of fewer slots than held
    };
    tokens_.insert(4, std::string("label = plain\n"));
    for (const auto& [count, calls] : cases) {
        SCOPED_TRACE(count);
        kxsimInsert(5, {"--slot-count", count});
        initialize();
        for (const Call& call : calls) {
            std::vector<CK_SLOT_ID> list(call.room.value_or(0));
            CK_ULONG got = list.size();
            EXPECT_EQ(C_GetSlotList(CK_FALSE, call.room ? list.data() : nullptr, &got), call.rv);
            EXPECT_EQ(got, call.count);
        }
        C_Finalize(nullptr);
        tokens_.remove(5);
    }
}

TEST_F(SimTest, BridgedSoftHsmCertificatesAndTheirAttributesComeThrough) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "bridge mode needs RTLD_DEEPBIND, which the sanitizers refuse";
#endif
    const std::string softHsm = "/usr/lib/softhsm/libsofthsm2.so";
    if (access("/usr/bin/softhsm2-util", X_OK) != 0 || access("/usr/bin/pkcs11-tool", X_OK) != 0 ||
        !fs::exists(softHsm)) {
        GTEST_SKIP() << "softhsm2 and opensc are needed for bridge mode";
    }
    // SoftHSM2 keeps its configuration and tokens beside the test, never the system's.
    fs::path hsm = testfiles::scratch(testName() + ".softhsm");
    fs::create_directories(hsm / "tokens");
    testfiles::writeFile(hsm / "softhsm2.conf",
                         "directories.tokendir = " + (hsm / "tokens").string() +
                             "\nobjectstore.backend = file\nlog.level = ERROR\n"
                             "slots.removable = false\n");
    setenv("SOFTHSM2_CONF", (hsm / "softhsm2.conf").c_str(), 1);
    ASSERT_EQ(run({"softhsm2-util", "--init-token", "--free", "--label", "bridge", "--pin", "1234",
                   "--so-pin", "12345678"}),
              "0 ");
    ASSERT_EQ(run({"pkcs11-tool", "--module", softHsm, "--token-label", "bridge", "--login",
                   "--pin", "1234", "--write-object", KXSIM_TEST_DATA "/boris.der", "--type",
                   "cert", "--id", "0b0c", "--label", "Boris cert"}),
              "0 ");
    setenv("KXSIM_BRIDGE_MODULE", softHsm.c_str(), 1);
    initialize();

    CK_SLOT_ID slots[16];
    CK_ULONG count = std::size(slots);
    ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    auto bridged = std::find_if(slots, slots + count,
                                [](CK_SLOT_ID slot) { return tokenLabel(slot) == "bridge"; });
    ASSERT_NE(bridged, slots + count);
    CK_SESSION_HANDLE session = openSession(*bridged);
    auto found = certificates(session);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(attribute(session, found[0], CKA_ID), std::string("\x0b\x0c"));
    EXPECT_EQ(attribute(session, found[0], CKA_VALUE), kBoris);
    CK_UTF8CHAR wrong[] = {'0', '0', '0', '0'};
    EXPECT_EQ(C_Login(session, CKU_USER, wrong, sizeof wrong), CKR_PIN_INCORRECT);
    unsetenv("SOFTHSM2_CONF");
}

TEST_F(SimTest, KxsimBadInputGetsAClearErrorAndLeavesNothingBehind) {
    const std::string badEntry = tokens_.directory + ".bad";
    testfiles::writeFile(badEntry, "label = ok\nlable = typo\n");
    ASSERT_EQ(run({KXSIM_TOOL, "--dir", tokens_.directory, "insert", "2"}), "0 ");
    // The arguments; the exit status and the first line of the error.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"insert", "05"},
         "2 kxsim: SLOT must be a decimal slot id without leading zeros, not \"05\""},
        {{"insert", "5", "--fail", "C_Login=CKR_OOPS"},
         "2 kxsim: --fail: fail has an unknown return code \"CKR_OOPS\""},
        {{"insert", "5", "--from", badEntry},
         "2 kxsim: " + badEntry + ": line 2: unknown key \"lable\""},
        {{"insert", "2"},
         "1 kxsim: slot 2 already holds a token; remove it first or use --replace"},
        {{"remove", "6"}, "1 kxsim: no token in slot 6"},
        {{"insert", "5", "--delay", "C_GetSlotList=5"},
         "2 kxsim: --delay: delay names a call that cannot be delayed: \"C_GetSlotList\""},
    };
    for (auto [args, error] : cases) {
        args.insert(args.begin(), {KXSIM_TOOL, "--dir", tokens_.directory});
        EXPECT_EQ(run(args), error);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tokens_.directory), fs::directory_iterator()),
              1);
}

}  // namespace
