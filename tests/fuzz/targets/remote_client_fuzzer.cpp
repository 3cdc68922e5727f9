// The remote-desktop client rule on any command line (NUL bytes between arguments): option
// extraction never reads past the end and yields the text after the key's first occurrence up to
// the next NUL; a client without a user matches any token exactly when it names a server; a
// client with a user and a domain matches a token holding that profile (domain in other case)
// or that certificate; and the record the rule asks to log is printable.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/Common.h"
#include "sessions/SessionMatch.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void checkOption(const std::string& cmdline, const std::string& key, const std::string& value) {
    require(value.find('\0') == std::string::npos);
    const size_t at = cmdline.find(key);
    if (at == std::string::npos) {
        require(value.empty());
        return;
    }
    const size_t end = at + key.size() + value.size();
    require(cmdline.compare(at + key.size(), value.size(), value) == 0);
    require(end == cmdline.size() || cmdline[end] == '\0');
}

// The matching certificate records list subject and issuer on lines of their own; any other
// line break, or control character, would have come from the command line or the token.
void checkRecord(const SessionMatch::Verdict& verdict) {
    std::string text;
    size_t lineBreaks = 0;
    for (char c : verdict.text) {
        if (c == '\n') {
            ++lineBreaks;
        } else {
            text += c;
        }
    }
    require(lineBreaks <= 3);
    require(Common::printable(text) == text);
}

SessionMatch::Verdict verdictFor(const ProcessTable::Process& process, const Token::Info& token) {
    SessionMatch::Verdict verdict = SessionMatch::remoteClient(process, token, {true, false});
    checkRecord(verdict);
    return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ProcessTable::Process process;
    process.pid = 100;
    process.ppid = 1;
    process.name = "xfreerdp";
    process.cmdline.assign(reinterpret_cast<const char*>(data), size);

    const std::string user = SessionMatch::optionValue(process.cmdline, "/u:");
    const std::string domain = SessionMatch::optionValue(process.cmdline, "/d:");
    const std::string server = SessionMatch::optionValue(process.cmdline, "/v:");
    checkOption(process.cmdline, "/u:", user);
    checkOption(process.cmdline, "/d:", domain);
    checkOption(process.cmdline, "/v:", server);

    Token::Info empty;
    require(verdictFor(process, empty).matches == (user.empty() && !server.empty()));
    if (user.empty() || domain.empty()) {
        return 0;
    }
    Token::Info withProfile;
    withProfile.profiles = {{user + "x", domain}, {user, Common::toUpper(domain)}};
    require(verdictFor(process, withProfile).matches);

    Token::Info withCertificate;
    withCertificate.certs = {
        {"\x01\xff", "label\n",
         Certificate(user, "", Common::toLower(domain), "CA\x1b", "", "", "", "00", false)}};
    require(verdictFor(process, withCertificate).matches);
    return 0;
}
