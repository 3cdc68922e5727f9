#pragma once

// Open sessions and the state of their object searches.

#include "SlotTable.h"

#include <map>
#include <vector>

namespace kxsim {

struct FindOperation {
    bool active = false;
    std::vector<CK_OBJECT_HANDLE> matches;
    size_t next = 0;
};

struct Session {
    CK_SESSION_HANDLE handle = 0;
    TokenPtr token;
    CK_FLAGS flags = 0;
    FindOperation find;

    bool readWrite() const { return (flags & CKF_RW_SESSION) != 0; }
};

class SessionTable {
public:
    Session& open(const TokenPtr& token, CK_FLAGS flags);
    Session* find(CK_SESSION_HANDLE handle);
    // Closing the last session of a token ends its login, as on a real token.
    void close(CK_SESSION_HANDLE handle);
    void closeAll(const TokenState* token);
    void clear() { sessions_.clear(); }

    size_t count(const TokenState* token, bool readWriteOnly) const;

private:
    std::map<CK_SESSION_HANDLE, Session> sessions_;
    CK_SESSION_HANDLE nextHandle_ = 1;
};

}  // namespace kxsim
