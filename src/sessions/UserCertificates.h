#pragma once

#include <string>

#include "token/Certificate.h"

// The certificate a user keeps in ~/.eid/authorized_certificates, read by Certificate's file
// form. Decoding costs OpenSSL about 0.15 ms per certificate, which made up most of a removal
// on a machine with hundreds of sessions, while the files hardly ever change: a certificate is
// decoded again only when its file is another file or has changed since.
class UserCertificates {
public:
    static constexpr const char* kFile = "/.eid/authorized_certificates";

    static Certificate of(const std::string& home);
};
