#pragma once

// Watches the token directory with inotify and turns what happens to its entries into
// insertions and removals. Polling it is one non-blocking read when nothing happened.

#include "Entry.h"

#include <p11-kit/pkcs11.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

struct DirectoryChange {
    CK_SLOT_ID slot = 0;
    std::optional<TokenEntry> entry;  // nothing: the token left the slot
};

class TokenDirectory {
public:
    explicit TokenDirectory(std::string path);
    ~TokenDirectory();
    TokenDirectory(const TokenDirectory&) = delete;
    TokenDirectory& operator=(const TokenDirectory&) = delete;

    // Creates the directory when it is missing and starts watching it; the entries already
    // there come back as insertions. False when inotify itself is unavailable.
    bool open(std::vector<DirectoryChange>& changes);

    // Appends what changed since the last call, without blocking. A removed entry counts at
    // once; one written meanwhile is only noted, and read() parses it: so a caller can take a
    // token's removal without first parsing every (possibly large) entry written beside it.
    void poll(std::vector<DirectoryChange>& changes);
    // Parses the noted entry of `slot`, or of any slot when none is given, appending what it
    // changes; false when no such entry was waiting.
    bool read(std::vector<DirectoryChange>& changes, std::optional<CK_SLOT_ID> slot = std::nullopt);
    bool unread(CK_SLOT_ID slot) const { return unread_.count(slot) > 0; }

    // Readable when something may have changed; for callers that want to block.
    int descriptor() const { return fd_; }
    bool watching() const { return wd_ >= 0; }

private:
    void startWatch(std::vector<DirectoryChange>& changes);
    void stopWatch(std::vector<DirectoryChange>& changes);
    void rescan(std::vector<DirectoryChange>& changes);
    void readEntry(CK_SLOT_ID slot, const std::string& name, std::vector<DirectoryChange>& changes);
    void dropEntry(CK_SLOT_ID slot, std::vector<DirectoryChange>& changes);

    std::string path_;
    int fd_ = -1;
    int wd_ = -1;
    std::map<CK_SLOT_ID, std::string> known_;   // valid entries as last read, by content
    std::map<CK_SLOT_ID, std::string> unread_;  // entries written since, by name
};

}  // namespace kxsim
