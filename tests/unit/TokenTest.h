#pragma once

#include "TestLog.h"
#include "TestToken.h"

namespace testtoken {

// A test with its own token directory and a mark in the log; the library stops after it.
class TokenTest : public testing::Test {
protected:
    void TearDown() override { C_Finalize(nullptr); }

    std::vector<std::string> logged(int level) { return testlog::textsSince(mark_, level); }
    bool wasLogged(int level, const std::string& text) {
        return testlog::countSince(mark_, level, text) > 0;
    }

    SimulatedTokens tokens_{testing::UnitTest::GetInstance()->current_test_info()->name()};
    size_t mark_ = testlog::settledMark();
};

}  // namespace testtoken
