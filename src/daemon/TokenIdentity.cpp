#include "daemon/TokenIdentity.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::vector<std::string> fingerprints(const Token::Info& info) {
    std::vector<std::string> list;
    for (const Token::Cert& cert : info.certs) {
        list.push_back(cert.certificate.fingerprint());
    }
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::pair<std::string, std::string>> profiles(const Token::Info& info) {
    std::vector<std::pair<std::string, std::string>> list;
    for (const Token::Profile& profile : info.profiles) {
        list.emplace_back(profile.userName, profile.domain);
    }
    std::sort(list.begin(), list.end());
    return list;
}

}  // namespace

bool TokenIdentity::sameHeader(const Token::Info& stored, const Token::Info& present) {
    return std::tie(stored.label, stored.serialNumber, stored.applet, stored.isd) ==
           std::tie(present.label, present.serialNumber, present.applet, present.isd);
}

bool TokenIdentity::same(const Token::Info& stored, const Token::Info& read) {
    return sameHeader(stored, read) && profiles(stored) == profiles(read) &&
           fingerprints(stored) == fingerprints(read);
}
