// Bridge mode in front of SoftHSM2: a standard module's tokens served through the library.
// (Bridge mode's slot events: the daemon's system tests, with their stand-in reader.)

#include "SimClient.h"

namespace simtest {
namespace {

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
    EXPECT_TRUE(events().empty());
    unsetenv("SOFTHSM2_CONF");
}

}  // namespace
}  // namespace simtest
