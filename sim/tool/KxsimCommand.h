#pragma once

// kxsim's command line: insert, remove and list tokens of the simulated library.

#include <ostream>
#include <string>
#include <vector>

namespace kxsim {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // the operation could not be done
constexpr int kExitBadInput = 2;  // wrong usage, an invalid option value or input file

int runKxsim(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kxsim
