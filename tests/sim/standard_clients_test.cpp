// What standard PKCS#11 clients rely on: the library's exports, its function list, OpenSC's
// pkcs11-tool and p11-kit loading it, and bridge mode in front of SoftHSM2.

#include "Process.h"
#include "SimClient.h"

#include <p11-kit/p11-kit.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

namespace simtest {
namespace {

const std::string kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr CK_SLOT_ID kHigh = (CK_SLOT_ID{1} << 40) + 1;

class StandardClients : public SimTest {
protected:
    ProcessResult tool(const std::vector<std::string>& args) {
        return run(args, (tokenDir.parent_path() / (testName() + ".tool")).string());
    }
};

TEST_F(StandardClients, OnlyVersionedEntryPointsAreExported) {
    if (!installed("/usr/bin/readelf")) {
        GTEST_SKIP() << "readelf is not installed";
    }
    auto dynamic = tool({"readelf", "-d", KXSIM_LIBRARY});
    EXPECT_NE(dynamic.out.find("Library soname: [libkxPKCS11-2.so]"), std::string::npos);

    auto symbols = tool({"readelf", "--dyn-syms", "--wide", KXSIM_LIBRARY});
    ASSERT_EQ(symbols.status, 0) << symbols.err;
    std::set<std::string> exported;
    std::istringstream lines(symbols.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string number, value, size, type, bind, visibility, index, name;
        if (!(words >> number >> value >> size >> type >> bind >> visibility >> index >> name)) {
            continue;
        }
        if (number == "Num:" || number.back() != ':' || index == "UND") {
            continue;
        }
        if (name == "KXPKCSABI") {
            continue;  // the version definition itself
        }
        size_t at = name.find("@@KXPKCSABI");
        EXPECT_EQ(at + std::strlen("@@KXPKCSABI"), name.size()) << name << " is not versioned";
        exported.insert(name.substr(0, at));
    }
    for (const char* needed :
         {"C_Initialize", "C_Finalize", "C_GetSlotList", "C_WaitForSlotEvent", "C_GetSlotInfo",
          "C_GetTokenInfo", "C_OpenSession", "C_CloseSession", "C_Login", "C_Logout",
          "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_GetAttributeValue",
          "C_GetFunctionList", "KX_GetISD", "KX_PKI_ReadPinCounters", "KX_PKI_GetComplexity",
          "KX_PJ_GetPinCounters", "KX_PJ_GetCapabilities", "KX_PJ_GetUserPinPolicy",
          "KX_CT1_ReadPinCounters", "KX_TL_ReadPinCounters"}) {
        EXPECT_TRUE(exported.count(needed)) << needed << " is not exported";
    }
    for (const std::string& name : exported) {
        EXPECT_TRUE(name.rfind("C_", 0) == 0 || name.rfind("KX_", 0) == 0) << name;
    }
}

TEST_F(StandardClients, FunctionListIsCompleteAndRefusesWhatItLacks) {
    CK_FUNCTION_LIST* list = nullptr;
    ASSERT_EQ(C_GetFunctionList(&list), CKR_OK);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->version.major, 2);
    EXPECT_EQ(list->version.minor, 40);
    const auto* first = reinterpret_cast<const unsigned char*>(&list->C_Initialize);
    const auto* end = reinterpret_cast<const unsigned char*>(list) + sizeof *list;
    for (const unsigned char* entry = first; entry < end; entry += sizeof(void*)) {
        EXPECT_NE(*reinterpret_cast<void* const*>(entry), nullptr)
            << "entry " << (entry - first) / sizeof(void*);
    }
    EXPECT_EQ(list->C_GetSlotList, &C_GetSlotList);
    insert(1, "label = one\n");
    ASSERT_EQ(list->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(list->C_Sign(1, nullptr, 0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(list->C_GenerateRandom(1, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
    CK_INFO info{};
    ASSERT_EQ(list->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(StandardClients, PkcsToolListsSlotsAndObjects) {
    if (!installed("/usr/bin/pkcs11-tool")) {
        GTEST_SKIP() << "pkcs11-tool (opensc) is not installed";
    }
    insert(5,
           "label = Ivanov\nmodel = Korvex Quill\nserial = 0042\n"
           "[certificate]\nid = 0a0b\nlabel = Alice\nfile = " KXSIM_TEST_DATA "/alice.pem\n");
    auto result =
        tool({"pkcs11-tool", "--module", KXSIM_LIBRARY, "--list-slots", "--list-objects"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* expected :
         {"Korvex virtual reader 5", "token label        : Ivanov",
          "token model        : Korvex Quill", "serial num         : 0042",
          "Certificate Object; type = X.509 cert", "label:      Alice",
          "subject:    DN: CN=Alice Ivanova", "ID:         0a0b"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos)
            << expected << "\n--- output:\n"
            << result.out;
    }
}

TEST_F(StandardClients, P11KitLoadsTheModule) {
    insert(kHigh, "label = through p11-kit\n");
    CK_FUNCTION_LIST* module = p11_kit_module_load(KXSIM_LIBRARY, 0);
    ASSERT_NE(module, nullptr) << p11_kit_message();
    ASSERT_EQ(p11_kit_module_initialize(module), CKR_OK) << p11_kit_message();
    CK_ULONG count = 0;
    EXPECT_EQ(module->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(module->C_GetSlotList(CK_TRUE, &slot, &count), CKR_OK);
    EXPECT_EQ(slot, kHigh);
    CK_TOKEN_INFO info{};
    EXPECT_EQ(module->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(field(info.label, 32), padded("through p11-kit", 32));
    EXPECT_EQ(p11_kit_module_finalize(module), CKR_OK);
    p11_kit_module_release(module);
}

class BridgeMode : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "bridge mode needs RTLD_DEEPBIND, which the sanitizers refuse";
#endif
        if (!installed("/usr/bin/softhsm2-util") || !installed("/usr/bin/pkcs11-tool") ||
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
        scratch = (hsm / "run").string();

        auto init = run({"softhsm2-util", "--init-token", "--free", "--label", "bridge",
                         "--pin", "1234", "--so-pin", "12345678"},
                        scratch);
        ASSERT_EQ(init.status, 0) << init.err;
        auto write = run({"pkcs11-tool", "--module", kSoftHsm, "--token-label", "bridge",
                          "--login", "--pin", "1234", "--write-object",
                          KXSIM_TEST_DATA "/boris.der", "--type", "cert", "--id", "0b0c",
                          "--label", "Boris cert"},
                         scratch);
        ASSERT_EQ(write.status, 0) << write.err;
        setenv("KXSIM_BRIDGE_MODULE", kSoftHsm.c_str(), 1);
    }

    void TearDown() override {
        SimTest::TearDown();
        unsetenv("KXSIM_BRIDGE_MODULE");
        unsetenv("SOFTHSM2_CONF");
    }

    CK_SLOT_ID slotLabelled(const std::string& label) {
        for (CK_SLOT_ID slot : slotList()) {
            CK_TOKEN_INFO info{};
            if (C_GetTokenInfo(slot, &info) == CKR_OK && field(info.label, 32) == padded(label, 32)) {
                return slot;
            }
        }
        ADD_FAILURE() << "no token labelled " << label;
        return 0;
    }

    std::string scratch;
};

TEST_F(BridgeMode, CertificatesAndTheirAttributesComeThrough) {
    initialize();
    CK_INFO info{};
    ASSERT_EQ(C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(field(info.libraryDescription, 32), padded("kxPKCS11 bridge", 32));

    CK_SLOT_ID slot = slotLabelled("bridge");
    CK_SESSION_HANDLE session = openSession(slot);
    auto certificates = find(session, {classIs(certificateClass), certificateTypeIs(x509Type),
                                       onToken(trueValue)});
    ASSERT_EQ(certificates.size(), 1u);
    EXPECT_EQ(attribute(session, certificates[0], CKA_ID), std::string("\x0b\x0c"));
    EXPECT_EQ(attribute(session, certificates[0], CKA_LABEL), "Boris cert");
    EXPECT_EQ(attribute(session, certificates[0], CKA_VALUE),
              readFile(KXSIM_TEST_DATA "/boris.der"));

    CK_UTF8CHAR wrong[] = {'0', '0', '0', '0'};
    EXPECT_EQ(C_Login(session, CKU_USER, wrong, sizeof wrong), CKR_PIN_INCORRECT);
    CK_UTF8CHAR right[] = {'1', '2', '3', '4'};
    EXPECT_EQ(C_Login(session, CKU_USER, right, sizeof right), CKR_OK);
    EXPECT_EQ(C_Logout(session), CKR_OK);
    EXPECT_EQ(C_CloseSession(session), CKR_OK);

    CK_SLOT_ID event = 0;
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);
}

TEST_F(BridgeMode, VendorExtensionsAnswerNeutrally) {
    initialize();
    CK_SLOT_ID slot = slotLabelled("bridge");
    CK_TOKEN_INFO token{};
    ASSERT_EQ(C_GetTokenInfo(slot, &token), CKR_OK);

    unsigned char isd[KX_ISD_SIZE];
    ASSERT_EQ(KX_GetISD(slot, isd), CKR_OK);
    EXPECT_EQ(field(isd, 32), field(token.model, 16) + field(token.serialNumber, 16));
    uint64_t counters[KX_TL_COUNTER_WORDS] = {9, 9, 9, 9};
    ASSERT_EQ(KX_TL_ReadPinCounters(slot, counters), CKR_OK);
    EXPECT_EQ(std::vector<uint64_t>(counters, counters + 4), std::vector<uint64_t>(4, 0));
    unsigned char policy[KX_PJ_PIN_POLICY_SIZE];
    std::memset(policy, 0xee, sizeof policy);
    ASSERT_EQ(KX_PJ_GetUserPinPolicy(slot, policy), CKR_OK);
    EXPECT_EQ(field(policy, sizeof policy), std::string(sizeof policy, '\0'));

    CK_SLOT_ID unknown = slot + 12345;
    EXPECT_NE(KX_GetISD(unknown, isd), CKR_OK);
}

class BridgeEvents : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "bridge mode needs RTLD_DEEPBIND, which the sanitizers refuse";
#endif
        slotsFile = tokenDir.parent_path() / (testName() + ".slots");
        setSlots("3\n");
        setenv("KXSIM_FAKE_MODULE_SLOTS", slotsFile.c_str(), 1);
        setenv("KXSIM_BRIDGE_MODULE", KXSIM_FAKE_MODULE, 1);
    }

    void TearDown() override {
        SimTest::TearDown();
        unsetenv("KXSIM_BRIDGE_MODULE");
    }

    void setSlots(const std::string& lines) { std::ofstream(slotsFile) << lines; }

    // The module is looked at no more often than every 20 ms, so events take a moment.
    std::vector<CK_SLOT_ID> nextEvents() {
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            auto seen = events();
            if (!seen.empty()) {
                return seen;
            }
        }
        return {};
    }

    fs::path slotsFile;
};

TEST_F(BridgeEvents, ChangesOfTheModuleSlotListBecomeEvents) {
    initialize();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(events().empty()) << "tokens present at start are no events";

    setSlots("3\n9\n");
    EXPECT_EQ(nextEvents(), std::vector<CK_SLOT_ID>{9});
    EXPECT_TRUE(tokenPresent(9));

    setSlots("9\n");
    EXPECT_EQ(nextEvents(), std::vector<CK_SLOT_ID>{3});
    EXPECT_FALSE(tokenPresent(3));

    // Two changes seen in one look give two events.
    setSlots("4\n");
    EXPECT_EQ(nextEvents(), (std::vector<CK_SLOT_ID>{9, 4}));
    CK_TOKEN_INFO info{};
    ASSERT_EQ(C_GetTokenInfo(4, &info), CKR_OK);
    EXPECT_EQ(field(info.label, 32), padded("fake 4", 32));
}

}  // namespace
}  // namespace simtest
