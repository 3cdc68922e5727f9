// kxsim beyond what the daemon's system tests use: entries from a file, the listing, and a clear
// error for bad input that leaves nothing behind.

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

TEST_F(KxsimTool, InsertFromFileReplaceAndList) {
    fs::path entry = tokenDir.parent_path() / (testName() + ".entry");
    fs::copy_file(KXSIM_TEST_DATA "/boris.der", tokenDir.parent_path() / "boris-copy.der",
                  fs::copy_options::overwrite_existing);
    std::ofstream(entry) << "label = from file\nmodel = Korvex TL\nprofile = a@b\n"
                            "[certificate]\nid = 01\nlabel = relative\nfile = boris-copy.der\n";
    ASSERT_EQ(kxsim({"insert", "3", "--label", "first"}).status, 0);
    ASSERT_EQ(kxsim({"insert", "3", "--from", entry.string(), "--label", "overridden", "--profile",
                     "c@d", "--replace"})
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
}

TEST_F(KxsimTool, BadInputGetsAClearError) {
    fs::path badEntry = tokenDir.parent_path() / "bad.entry";
    std::ofstream(badEntry) << "label = ok\nlable = typo\n";
    ASSERT_EQ(kxsim({"insert", "2"}).status, 0);
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"insert", "05"},
         2,
         "kxsim: SLOT must be a decimal slot id without leading zeros, not \"05\""},
        {{"insert", "5", "--fail", "C_Login=CKR_OOPS"},
         2,
         "kxsim: --fail: fail has an unknown return code \"CKR_OOPS\""},
        {{"insert", "5", "--from", badEntry.string()},
         2,
         "kxsim: " + badEntry.string() + ": line 2: unknown key \"lable\""},
        {{"insert", "2"},
         1,
         "kxsim: slot 2 already holds a token; remove it first or use --replace"},
        {{"remove", "6"}, 1, "kxsim: no token in slot 6"},
    };
    for (const auto& [args, status, error] : cases) {
        auto result = kxsim(args);
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), error);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tokenDir), fs::directory_iterator()), 1)
        << "no bad invocation may leave anything behind";
}

}  // namespace
}  // namespace simtest
