#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "daemon/ElapsedTimer.h"

// Gives Kerberos ticket caches in /tmp ("krb5cc_<uid>...") back to the user named by the uid
// when another account owns them: mode 0660, owner that uid, group unchanged.
class TicketsWatcher {
public:
    TicketsWatcher();

    // Called on every pass of the slot loop; scans when the configured interval has passed
    // since the end of the previous scan.
    void check();

    // One scan now: the listing, then a repair of each candidate. False when /tmp cannot be read.
    bool scan();
    // Regular files named krb5cc_* that are not ignored, in listing order.
    bool listCandidates(std::vector<std::string>& paths) const;
    // Repairs one listed file if another account owns it. Works on a descriptor opened without
    // following links, so an entry swapped for a link since the listing is never followed.
    void repair(const std::string& path);

private:
    ElapsedTimer timer_;
    // Paths whose uid cannot be used; never looked at again while the daemon runs.
    std::unordered_set<std::string> ignored_;
};
