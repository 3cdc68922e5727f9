#include "SessionTable.h"

namespace kxsim {

Session& SessionTable::open(const TokenPtr& token, CK_FLAGS flags) {
    Session& session = sessions_[nextHandle_];
    session.handle = nextHandle_++;
    session.token = token;
    session.flags = flags;
    return session;
}

Session* SessionTable::find(CK_SESSION_HANDLE handle) {
    auto found = sessions_.find(handle);
    return found == sessions_.end() ? nullptr : &found->second;
}

void SessionTable::close(CK_SESSION_HANDLE handle) {
    auto found = sessions_.find(handle);
    if (found == sessions_.end()) {
        return;
    }
    TokenPtr token = found->second.token;
    sessions_.erase(found);
    if (count(token.get(), false) == 0) {
        token->loggedIn.reset();
    }
}

void SessionTable::closeAll(const TokenState* token) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second.token.get() == token) {
            it->second.token->loggedIn.reset();
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t SessionTable::count(const TokenState* token, bool readWriteOnly) const {
    size_t total = 0;
    for (const auto& [handle, session] : sessions_) {
        if (session.token.get() == token && (!readWriteOnly || session.readWrite())) {
            ++total;
        }
    }
    return total;
}

}  // namespace kxsim
