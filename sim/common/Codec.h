#pragma once

// Text encodings used by token entries: hexadecimal object identifiers, base64 certificate
// values and PEM certificate files.

#include <optional>
#include <string>

namespace kxsim {

std::string toHex(const std::string& bytes);
std::optional<std::string> fromHex(const std::string& text);

std::string toBase64(const std::string& bytes);
// Accepts white space between groups (PEM bodies are wrapped at 64 columns).
std::optional<std::string> fromBase64(const std::string& text);

// The DER bytes of the first "CERTIFICATE" block of a PEM text, nothing when there is none.
std::optional<std::string> pemCertificate(const std::string& text);

bool looksLikePem(const std::string& bytes);

}  // namespace kxsim
