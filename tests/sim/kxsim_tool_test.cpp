// kxsim: tokens it inserts are what the library serves; bad input gets a clear error.

#include "Process.h"
#include "SimClient.h"

namespace simtest {
namespace {

class KxsimTool : public SimTest {
protected:
    ProcessResult kxsim(std::vector<std::string> args) {
        args.insert(args.begin(), {KXSIM_TOOL, "--dir", tokenDir.string()});
        return run(args, (tokenDir.parent_path() / (testName() + ".kxsim")).string());
    }
};

TEST_F(KxsimTool, InsertFromOptionsIsServedByTheLibrary) {
    initialize();
    auto result = kxsim({"insert", "4294967300", "--label", "Petrova", "--model", "Forte",
                         "--serial", "77", "--isd", "KX555", "--user-pin", "4321", "--profile",
                         "petrova@corp.example", "--profile", "admin@corp.example", "--cert",
                         KXSIM_TEST_DATA "/alice.pem", "--cert-label", "Alice", "--cert",
                         KXSIM_TEST_DATA "/boris.der", "--cert-id", "beef", "--fail",
                         "KX_PJ_GetCapabilities=CKR_DEVICE_ERROR"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "inserted token \"Petrova\" into slot 4294967300\n");
    // Nothing but the entry is left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(tokenDir), fs::directory_iterator()), 1);

    ASSERT_EQ(events(), std::vector<CK_SLOT_ID>{4294967300});
    CK_TOKEN_INFO info{};
    ASSERT_EQ(C_GetTokenInfo(4294967300, &info), CKR_OK);
    EXPECT_EQ(field(info.label, 32), padded("Petrova", 32));
    EXPECT_EQ(field(info.model, 16), padded("Forte", 16));

    CK_SESSION_HANDLE session = openSession(4294967300);
    auto certificates = find(session, {classIs(certificateClass)});
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_EQ(attribute(session, certificates[0], CKA_LABEL), "Alice");
    EXPECT_EQ(attribute(session, certificates[0], CKA_ID), std::string("\x01"));
    EXPECT_EQ(attribute(session, certificates[1], CKA_LABEL), "boris");
    EXPECT_EQ(attribute(session, certificates[1], CKA_ID), std::string("\xbe\xef"));
    EXPECT_EQ(attribute(session, certificates[1], CKA_VALUE),
              readFile(KXSIM_TEST_DATA "/boris.der"));
    auto profiles = find(session, {classIs(profileClass)});
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(attribute(session, profiles[1], 0x8000000F), "admin");
    EXPECT_EQ(attribute(session, profiles[1], 0x80000010), "corp.example");

    unsigned char capabilities[KX_PJ_CAPABILITIES_SIZE];
    EXPECT_EQ(KX_PJ_GetCapabilities(4294967300, capabilities), CKR_DEVICE_ERROR);
    CK_UTF8CHAR pin[] = {'4', '3', '2', '1'};
    EXPECT_EQ(C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
}

TEST_F(KxsimTool, InsertFromFileWithOptionsOnTopListAndRemove) {
    fs::path entry = tokenDir.parent_path() / (testName() + ".entry");
    fs::copy_file(KXSIM_TEST_DATA "/boris.der", tokenDir.parent_path() / "boris-copy.der",
                  fs::copy_options::overwrite_existing);
    std::ofstream(entry) << "label = from file\nmodel = Korvex TL\nprofile = a@b\n"
                            "[certificate]\nid = 01\nlabel = relative\nfile = boris-copy.der\n";
    ASSERT_EQ(kxsim({"insert", "3", "--from", entry.string(), "--label", "overridden",
                     "--profile", "c@d"})
                  .status,
              0);
    std::ofstream(tokenDir / "4") << "label = broken\n[keys]\n";

    auto listed = kxsim({"list"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out,
              "slot 3: label \"overridden\" model \"Korvex TL\" serial \"\", 1 certificate(s), "
              "2 profile(s)\n"
              "slot 4: invalid entry, line 2: unknown section [keys], only [certificate] "
              "exists\n");

    initialize();
    EXPECT_EQ(slotList(), std::vector<CK_SLOT_ID>{3});
    ASSERT_EQ(kxsim({"remove", "3"}).status, 0);
    EXPECT_EQ(events(), std::vector<CK_SLOT_ID>{3});
    EXPECT_TRUE(slotList().empty());
}

TEST_F(KxsimTool, OccupiedSlotNeedsReplace) {
    ASSERT_EQ(kxsim({"insert", "2", "--label", "first"}).status, 0);
    auto again = kxsim({"insert", "2", "--label", "second"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err,
              "kxsim: slot 2 already holds a token; remove it first or use --replace\n");
    ASSERT_EQ(kxsim({"insert", "2", "--label", "second", "--replace"}).status, 0);
    initialize();
    CK_TOKEN_INFO info{};
    ASSERT_EQ(C_GetTokenInfo(2, &info), CKR_OK);
    EXPECT_EQ(field(info.label, 32), padded("second", 32));
    EXPECT_EQ(std::distance(fs::directory_iterator(tokenDir), fs::directory_iterator()), 1);
}

struct BadInvocation {
    std::vector<std::string> args;
    int status;
    std::string error;  // the first line of standard error
};

TEST_F(KxsimTool, BadInputGetsAClearError) {
    fs::path junk = tokenDir.parent_path() / "junk.pem";
    std::ofstream(junk) << "-----BEGIN CERTIFICATE-----\nnot base64 at all!\n"
                           "-----END CERTIFICATE-----\n";
    fs::path badEntry = tokenDir.parent_path() / "bad.entry";
    std::ofstream(badEntry) << "label = ok\nlable = typo\n";
    const std::vector<BadInvocation> cases = {
        {{}, 2, "kxsim: no command given"},
        {{"eject", "1"}, 2, "kxsim: unknown command \"eject\""},
        {{"insert"}, 2, "kxsim: insert needs a SLOT"},
        {{"insert", "05"}, 2,
         "kxsim: SLOT must be a decimal slot id without leading zeros, not \"05\""},
        {{"insert", "18446744073709551616"}, 2,
         "kxsim: SLOT must be a decimal slot id without leading zeros, not "
         "\"18446744073709551616\""},
        {{"insert", "5", "--label"}, 2, "kxsim: --label needs a value"},
        {{"insert", "5", "--label", std::string(33, 'x')}, 2,
         "kxsim: --label: label is longer than 32 bytes"},
        {{"insert", "5", "--colour", "red"}, 2, "kxsim: unknown option --colour"},
        {{"insert", "5", "--user-tries", "many"}, 2,
         "kxsim: --user-tries: user-tries must be a whole number, not \"many\""},
        {{"insert", "5", "--pin-changed", "2024-01-31"}, 2,
         "kxsim: --pin-changed: pin-changed must be a date written YYYYMMDD, not "
         "\"2024-01-31\""},
        {{"insert", "5", "--profile", "ivanov"}, 2,
         "kxsim: --profile: profile must be written user@domain, not \"ivanov\""},
        {{"insert", "5", "--fail", "C_Login"}, 2,
         "kxsim: --fail: expected CALL=CODE, not \"C_Login\""},
        {{"insert", "5", "--fail", "C_Sign=CKR_DEVICE_ERROR"}, 2,
         "kxsim: --fail: fail names an unknown call \"C_Sign\""},
        {{"insert", "5", "--fail", "C_Login=CKR_OOPS"}, 2,
         "kxsim: --fail: fail has an unknown return code \"CKR_OOPS\""},
        {{"insert", "5", "--cert-id", "01"}, 2, "kxsim: --cert-id must follow a --cert option"},
        {{"insert", "5", "--cert", "/nonexistent/cert.pem"}, 2,
         "kxsim: --cert: /nonexistent/cert.pem: No such file or directory"},
        {{"insert", "5", "--cert", junk.string()}, 2,
         "kxsim: --cert: " + junk.string() + ": no readable CERTIFICATE block in this PEM file"},
        {{"insert", "5", "--cert", KXSIM_TEST_DATA "/boris.der", "--cert-id", "xyz"}, 2,
         "kxsim: --cert-id: id must be hexadecimal bytes, not \"xyz\""},
        {{"insert", "5", "--from", badEntry.string()}, 2,
         "kxsim: " + badEntry.string() + ": line 2: unknown key \"lable\""},
        {{"remove", "6"}, 1, "kxsim: no token in slot 6"},
        {{"list", "extra"}, 2, "kxsim: list takes no arguments"},
    };
    for (const BadInvocation& bad : cases) {
        auto result = kxsim(bad.args);
        std::string firstLine = result.err.substr(0, result.err.find('\n'));
        EXPECT_EQ(result.status, bad.status) << firstLine;
        EXPECT_EQ(firstLine, bad.error);
    }
    EXPECT_TRUE(fs::is_empty(tokenDir)) << "no bad invocation may leave anything behind";
}

}  // namespace
}  // namespace simtest
