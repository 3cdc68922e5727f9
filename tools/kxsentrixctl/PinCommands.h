#pragma once

#include <optional>

#include "ExitStatus.h"
#include "token/kxpkcs11.h"

// The PIN checks of the token library, run here on the machine with the token (as root, like
// the daemon): they need no daemon and never travel over the bus.
namespace PinCommands {

// Retries left and PIN expiry of the inserted tokens, or of the one in `slot`; asks no PIN.
ExitStatus status(std::optional<CK_SLOT_ID> slot, bool json);

// Asks the PIN on the terminal and verifies it by logging in to the token in `slot`, as its
// administrator with `admin`.
ExitStatus check(CK_SLOT_ID slot, bool admin);

}  // namespace PinCommands
