#pragma once

#include <string>

// What the domain diagnostics methods make of their commands' results: pure, so a table can
// check them without adcli or a journal.
namespace DomainDiagnostics {

// The domain check's answer from the wait status of `adcli info`: its exit code, or -1 when it
// did not end normally (killed, or no process at all: status -1).
int domainCheckAnswer(int waitStatus);

// Keeps, of every line of journalctl's output that contains "received for user", the part from
// that text to the end of the line, each followed by a newline: what
// `grep -o 'received for user.*'` prints. Output may come in pieces of any size; memory stays
// bounded however long a line is.
class AuthResultFilter {
public:
    // The kept text that this piece of output completes or continues.
    std::string feed(const std::string& piece);
    // The end of the output: the newline of a kept last line that had none.
    std::string finish();
    // Whether any line was kept, as grep's status says.
    bool matched() const { return matched_; }

private:
    // The end of the current line while it has not matched yet: a beginning of the searched
    // text split between two pieces.
    std::string tail_;
    bool inMatch_ = false;
    bool matched_ = false;
};

}  // namespace DomainDiagnostics
