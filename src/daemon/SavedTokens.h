#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "token/Token.h"

// What the daemon knows of the inserted tokens, as kept across its restarts: the records a
// removal decides by (identity, profiles, certificates, whether the record is whole) and the
// slots whose token is not to be read (a read of it never ended). As text, one line per item:
//
//   kxsentrixd-tokens 1
//   unread SLOT
//   token SLOT whole|incomplete LABEL SERIAL MODEL APPLET ISD
//   profile USER DOMAIN
//   cert ID LABEL SUBJECT SUBJECT_O SUBJECT_DC ISSUER ISSUER_O ISSUER_DC ALT_NAME FINGERPRINT 0|1
//   end
//
// profile and cert lines belong to the token line before them. Fields are separated by one
// blank; in a field every byte outside '!'..'~', and '%', is written as %XX (upper-case hex),
// and an empty field as "-" (so "-" itself is %2D). Slots are decimal. The parser takes only
// what the writer writes: any other spelling, a missing "end" or anything after it refuses the
// whole text, since a removal decided from a half-understood record could miss a session.
struct SavedTokens {
    static constexpr int kVersion = 1;
    // Beyond any real store (4096 slots of records a few KiB each): a larger file is refused
    // unread.
    static constexpr size_t kMaxSize = 64 * 1024 * 1024;

    // In the order saved; one slot may appear twice (a token still leaving, and the next one).
    std::vector<Token::Info> tokens;
    std::set<CK_SLOT_ID> unread;

    std::string text() const;
    // Empty with `error` set (in the log's words) when the text is not what text() writes.
    static std::optional<SavedTokens> parse(const std::string& text, std::string& error);
};
