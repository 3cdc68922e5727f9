// kxsim's errors: bad input gets a clear message and leaves nothing behind. (Its insertions and
// removals drive the daemon's system tests.)

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
