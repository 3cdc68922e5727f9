// What standard PKCS#11 clients rely on: OpenSC's pkcs11-tool loading the library through its
// function list, and bridge mode in front of SoftHSM2 and of a module whose tokens come and go.

#include "SimClient.h"

#include <chrono>
#include <thread>

namespace simtest {
namespace {

const std::string kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

TEST_F(SimTest, PkcsToolListsSlotsAndObjects) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an uninstrumented program cannot load the sanitized library";
#endif
    if (!installed("/usr/bin/pkcs11-tool")) {
        GTEST_SKIP() << "pkcs11-tool (opensc) is not installed";
    }
    insert(5,
           "label = Ivanov\nmodel = Korvex Quill\nserial = 0042\n"
           "[certificate]\nid = 0a0b\nlabel = Alice\nfile = " KXSIM_TEST_DATA "/alice.pem\n");
    auto result = run({"pkcs11-tool", "--module", KXSIM_LIBRARY, "--list-slots", "--list-objects"},
                      (tokenDir.parent_path() / (testName() + ".tool")).string());
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* expected : {"Korvex virtual reader 5", "token label        : Ivanov",
                                 "token model        : Korvex Quill", "serial num         : 0042",
                                 "Certificate Object; type = X.509 cert", "label:      Alice",
                                 "subject:    DN: CN=Alice Ivanova", "ID:         0a0b"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n--- output:\n"
                                                                << result.out;
    }
}

class BridgeMode : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "bridge mode needs RTLD_DEEPBIND, which the sanitizers refuse";
#endif
    }

    void TearDown() override {
        SimTest::TearDown();
        unsetenv("KXSIM_BRIDGE_MODULE");
        unsetenv("SOFTHSM2_CONF");
    }
};

TEST_F(BridgeMode, SoftHsmCertificatesAndTheirAttributesComeThrough) {
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
    auto certificates =
        find(session, {is(CKA_CLASS, certificateClass), is(CKA_CERTIFICATE_TYPE, x509Type),
                       is(CKA_TOKEN, trueValue)});
    ASSERT_EQ(certificates.size(), 1u);
    EXPECT_EQ(attribute(session, certificates[0], CKA_ID), std::string("\x0b\x0c"));
    EXPECT_EQ(attribute(session, certificates[0], CKA_LABEL), "Boris cert");
    EXPECT_EQ(attribute(session, certificates[0], CKA_VALUE),
              readFile(KXSIM_TEST_DATA "/boris.der"));
    CK_UTF8CHAR wrong[] = {'0', '0', '0', '0'};
    EXPECT_EQ(C_Login(session, CKU_USER, wrong, sizeof wrong), CKR_PIN_INCORRECT);
    EXPECT_TRUE(events().empty());
}

TEST_F(BridgeMode, ChangesOfTheModuleSlotListBecomeEvents) {
    // A module whose present tokens are the lines of a file (tests/system).
    fs::path slotsFile = tokenDir.parent_path() / (testName() + ".slots");
    std::ofstream(slotsFile) << "3\n";
    setenv("KX_FAILING_READER_SLOTS", slotsFile.c_str(), 1);
    setenv("KXSIM_BRIDGE_MODULE", KXSIM_READER_MODULE, 1);
    // The module is looked at no more often than every 20 ms, so events take a moment.
    auto nextEvents = [this, &slotsFile](const std::string& slots) {
        std::ofstream(slotsFile) << slots;
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (auto seen = events(); !seen.empty()) {
                return seen;
            }
        }
        return std::vector<CK_SLOT_ID>{};
    };
    initialize();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(events().empty()) << "tokens present at start are no events";

    EXPECT_EQ(nextEvents("3\n9\n"), std::vector<CK_SLOT_ID>{9});
    EXPECT_TRUE(tokenPresent(9));
    EXPECT_EQ(nextEvents("9\n"), std::vector<CK_SLOT_ID>{3});
    EXPECT_EQ(slotList(), std::vector<CK_SLOT_ID>{9});
    // Two changes seen in one look give two events.
    EXPECT_EQ(nextEvents("4\n"), (std::vector<CK_SLOT_ID>{9, 4}));
    EXPECT_EQ(tokenLabel(4), "reader 4");
}

}  // namespace
}  // namespace simtest
