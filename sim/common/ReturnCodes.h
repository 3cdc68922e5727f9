#pragma once

// PKCS#11 return codes by name, for entries and tool options that inject failures.

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>

namespace kxsim {

// Accepts a standard name ("CKR_DEVICE_ERROR"), a decimal number or a 0x hexadecimal number.
std::optional<CK_RV> parseReturnCode(const std::string& text);

// The standard name, or the code in hexadecimal when it has none.
std::string returnCodeName(CK_RV code);

}  // namespace kxsim
