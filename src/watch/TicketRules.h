#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The ticket cache guard's decisions, apart from the files: what to do with one /tmp entry
// named "krb5cc_..." given its owner and link count, and when to scan next.
class TicketRules {
public:
    enum class Action {
        Keep,        // owned by the uid in its name
        NoUid,       // no digits after "krb5cc_": nothing to hand it to while the name stays
        InvalidUid,  // the digits are no uid a file can be handed to, while the name stays
        NotRoots,    // another user's file: handing it over would leave that user access
        Linked,      // more than one name: may be another file; skipped while linked
        HandOver,    // root's file: give it to the uid in its name
    };

    struct Verdict {
        Action action;
        std::string uidText;  // the digits after "krb5cc_"
        uid_t uid;            // for HandOver
    };

    // `name` is the entry's name, "krb5cc_" and the rest.
    static Verdict judge(const std::string& name, uid_t owner, nlink_t links);
    // A uid in a name is decimal, without sign or leading zeros, and neither root nor
    // (uid_t)-1, which chown takes for "no change".
    static bool parseUid(const std::string& text, uid_t& uid);
    // Milliseconds between the end of one scan and the start of the next. An interval below 1
    // asks for scans without pause; a short pause, and one as long as the scan took, keep the
    // scanning thread from taking a core of its own.
    static int64_t pauseAfterScanMs(int32_t intervalMs, int64_t lastScanMs);

    static constexpr const char* kPrefix = "krb5cc_";
    static constexpr int64_t kMinPauseMs = 5;
};
