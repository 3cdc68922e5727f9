// The remote-desktop client rule on any command line (NUL bytes between arguments): option
// extraction yields the text after the key's first occurrence up to the next NUL; a client
// without a user matches any token exactly when it names a server; one with a user and a domain
// matches a token holding that profile (domain in other case) or that certificate; and the
// record the rule asks to log is printable.

#include <algorithm>

#include "Fuzz.h"
#include "base/Common.h"
#include "sessions/SessionMatch.h"

namespace {

std::string checkedOption(const std::string& cmdline, const std::string& key) {
    const size_t at = cmdline.find(key);
    std::string after = at == std::string::npos ? "" : cmdline.substr(at + key.size());
    after.resize(std::min(after.size(), after.find('\0')));
    const std::string value = SessionMatch::optionValue(cmdline, key);
    REQUIRE(value == after);
    return value;
}

// The certificate records list subject and issuer on lines of their own; any other line break,
// or control character, would have come from the command line or the token.
bool matches(const ProcessTable::Process& process, const Token::Info& token) {
    const SessionMatch::Verdict verdict = SessionMatch::remoteClient(process, token, {true, false});
    std::string text = verdict.text;
    const auto lineBreaks = std::count(text.begin(), text.end(), '\n');
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    REQUIRE(lineBreaks <= 3);
    REQUIRE(Common::printable(text) == text);
    return verdict.matches;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ProcessTable::Process process{100, 1, "xfreerdp", fuzz::text(data, size), {}, {}};
    const std::string user = checkedOption(process.cmdline, "/u:");
    const std::string domain = checkedOption(process.cmdline, "/d:");
    const std::string server = checkedOption(process.cmdline, "/v:");

    REQUIRE(matches(process, Token::Info()) == (user.empty() && !server.empty()));
    if (user.empty() || domain.empty()) {
        return 0;
    }
    Token::Info withProfile;
    withProfile.profiles = {{user + "x", domain}, {user, Common::toUpper(domain)}};
    REQUIRE(matches(process, withProfile));
    Token::Info withCertificate;
    withCertificate.certs = {
        {"\x01\xff", "label\n",
         Certificate(user, "", Common::toLower(domain), "CA\x1b", "", "", "", "00", false)}};
    REQUIRE(matches(process, withCertificate));
    return 0;
}
