#include "SlotTable.h"

namespace kxsim {

void SlotTable::record(DirectoryChange change, CK_OBJECT_HANDLE& nextHandle) {
    auto current = latest_.find(change.slot);
    if (current != latest_.end()) {
        // A token replaced in place first leaves the slot.
        latest_.erase(current);
        pending_.push_back({change.slot, nullptr, false});
    }
    if (change.entry) {
        auto token = std::make_shared<TokenState>(change.slot, std::move(*change.entry),
                                                  nextHandle);
        latest_[change.slot] = token;
        pending_.push_back({change.slot, token, false});
    }
}

std::optional<CK_SLOT_ID> SlotTable::takeEvent(std::vector<TokenPtr>& gone) {
    if (pending_.empty()) {
        return std::nullopt;
    }
    Change change = pending_.front();
    pending_.pop_front();
    if (!change.applied) {
        apply(change, gone);
    }
    return change.slot;
}

void SlotTable::catchUp(std::vector<TokenPtr>& gone) {
    for (Change& change : pending_) {
        if (!change.applied) {
            apply(change, gone);
        }
    }
    while (pending_.size() > kMaxQueuedEvents) {
        pending_.pop_front();
    }
}

void SlotTable::apply(Change& change, std::vector<TokenPtr>& gone) {
    TokenPtr& slot = view_[change.slot];
    if (slot) {
        gone.push_back(slot);
    }
    slot = change.token;
    change.applied = true;
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
