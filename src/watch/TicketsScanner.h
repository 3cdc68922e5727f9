#pragma once

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <unordered_map>

#include "watch/TicketRules.h"

// One pass of the ticket cache guard over /tmp: every regular file named "krb5cc_..." is
// judged by TicketRules and, when it is root's and named for a user, given to that user (mode
// 0660, owner the uid in its name, group unchanged). The directory is read as a stream, so a
// /tmp of any size costs no more memory than the names the guard has something to say about.
class TicketsScanner {
public:
    // False when /tmp cannot be read. Ends early, between two entries, once `stop` is true.
    bool scan(const std::atomic<bool>& stop);
    // Gives the entry `name` of the open directory to `uid`, when it is still the file that
    // `seen` describes and still root's: the entry may have been swapped since it was judged.
    void handOver(int directory, const std::string& name, const struct stat& seen, uid_t uid);

private:
    // What the guard said about a name it does not hand over, so it says it once per file.
    struct Remark {
        ino_t inode;
        TicketRules::Action action;
    };
    using Remarks = std::unordered_map<std::string, Remark>;

    void visit(int directory, const char* entryName, Remarks& present);
    static void report(const std::string& path, const struct stat& status,
                       const TicketRules::Verdict& verdict);

    // Names whose verdict was logged; only names that were still there at the last scan.
    Remarks remarks_;
};
