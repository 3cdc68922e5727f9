#include "SlotTable.h"

#include <algorithm>

namespace kxsim {

void SlotTable::record(DirectoryChange change, CK_OBJECT_HANDLE& nextHandle) {
    auto current = latest_.find(change.slot);
    if (current == latest_.end() && !change.entry) {
        return;  // nothing was there, nothing is
    }
    if (current != latest_.end()) {
        latest_.erase(current);  // a token replaced in place first leaves the slot
    }
    if (change.entry) {
        latest_[change.slot] =
            std::make_shared<TokenState>(change.slot, std::move(*change.entry), nextHandle);
    }
    if (std::find(pending_.begin(), pending_.end(), change.slot) == pending_.end()) {
        pending_.push_back(change.slot);
    }
}

std::optional<CK_SLOT_ID> SlotTable::takeEvent(std::vector<TokenPtr>& gone) {
    if (pending_.empty()) {
        return std::nullopt;
    }
    CK_SLOT_ID slot = pending_.front();
    pending_.pop_front();
    show(slot, gone);
    return slot;
}

void SlotTable::catchUp(std::vector<TokenPtr>& gone) {
    std::vector<CK_SLOT_ID> changed;
    for (const auto& [slot, token] : latest_) {
        changed.push_back(slot);
    }
    for (const auto& [slot, token] : view_) {
        if (token && latest_.count(slot) == 0) {
            changed.push_back(slot);
        }
    }
    for (CK_SLOT_ID slot : changed) {
        show(slot, gone);
    }
}

void SlotTable::show(CK_SLOT_ID slot, std::vector<TokenPtr>& gone) {
    auto now = latest_.find(slot);
    TokenPtr present = now == latest_.end() ? nullptr : now->second;
    TokenPtr& seen = view_[slot];
    if (seen && seen != present) {
        gone.push_back(seen);
    }
    seen = present;
}

TokenPtr SlotTable::token(CK_SLOT_ID slot) const {
    auto found = view_.find(slot);
    return found == view_.end() ? nullptr : found->second;
}

bool SlotTable::isPresent(const TokenPtr& token) const {
    auto found = latest_.find(token->slot());
    return found != latest_.end() && found->second == token;
}

std::vector<CK_SLOT_ID> SlotTable::slots(bool withToken) const {
    std::vector<CK_SLOT_ID> list;
    for (const auto& [slot, token] : view_) {
        if (token || !withToken) {
            list.push_back(slot);
        }
    }
    return list;
}

std::vector<TokenPtr> SlotTable::tokens() const {
    std::vector<TokenPtr> list;
    for (const auto& [slot, token] : view_) {
        if (token) {
            list.push_back(token);
        }
    }
    return list;
}

}  // namespace kxsim
