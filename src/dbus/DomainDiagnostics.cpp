#include "dbus/DomainDiagnostics.h"

#include <sys/wait.h>

#include <algorithm>

namespace {

const std::string kAuthResult = "received for user";

}  // namespace

int DomainDiagnostics::domainCheckAnswer(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

std::string DomainDiagnostics::AuthResultFilter::feed(const std::string& piece) {
    std::string kept;
    size_t position = 0;
    while (position < piece.size()) {
        size_t newline = piece.find('\n', position);
        size_t lineEnd = newline == std::string::npos ? piece.size() : newline;
        if (inMatch_) {
            kept.append(piece, position, lineEnd - position);
        } else {
            std::string line = tail_ + piece.substr(position, lineEnd - position);
            size_t found = line.find(kAuthResult);
            if (found != std::string::npos) {
                inMatch_ = matched_ = true;
                kept.append(line, found, std::string::npos);
                tail_.clear();
            } else if (newline == std::string::npos) {
                size_t keep = std::min(line.size(), kAuthResult.size() - 1);
                tail_ = line.substr(line.size() - keep);
            }
        }
        if (newline == std::string::npos) {
            break;
        }
        if (inMatch_) {
            kept += '\n';
        }
        inMatch_ = false;
        tail_.clear();
        position = newline + 1;
    }
    return kept;
}

std::string DomainDiagnostics::AuthResultFilter::finish() {
    bool open = inMatch_;
    inMatch_ = false;
    tail_.clear();
    return open ? "\n" : "";
}
