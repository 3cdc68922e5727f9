#pragma once

// The slots and tokens that the application sees. Changes found in the token directory are
// queued; each slot event moves the application's view forward by exactly one change, so two
// changes that happen between two polls are still seen one after the other. An application
// that has not yet asked for slot events sees every change at once (the queue is kept for it,
// so its first events still tell what changed).

#include "TokenDirectory.h"
#include "TokenState.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kxsim {

using TokenPtr = std::shared_ptr<TokenState>;

class SlotTable {
public:
    // Records a change of the directory; the view does not move yet.
    void record(DirectoryChange change, CK_OBJECT_HANDLE& nextHandle);

    // Moves the view forward by one change and returns its slot; tokens that left the view
    // are added to gone.
    std::optional<CK_SLOT_ID> takeEvent(std::vector<TokenPtr>& gone);
    // Moves the view forward to the directory's state, keeping the changes as events.
    void catchUp(std::vector<TokenPtr>& gone);
    // Forgets the queued events (the state at start-up is no event).
    void clearEvents() { pending_.clear(); }

    bool knows(CK_SLOT_ID slot) const { return view_.count(slot) > 0; }
    TokenPtr token(CK_SLOT_ID slot) const;
    // False once the token has left its slot, even when the application has not taken the
    // event yet.
    bool isPresent(const TokenPtr& token) const;
    std::vector<CK_SLOT_ID> slots(bool withToken) const;
    std::vector<TokenPtr> tokens() const;

private:
    struct Change {
        CK_SLOT_ID slot;
        TokenPtr token;  // null: removal
        bool applied;
    };

    void apply(Change& change, std::vector<TokenPtr>& gone);

    static constexpr size_t kMaxQueuedEvents = 4096;

    std::map<CK_SLOT_ID, TokenPtr> view_;    // every slot ever seen; null when empty
    std::map<CK_SLOT_ID, TokenPtr> latest_;  // what the directory holds now
    std::deque<Change> pending_;
};

}  // namespace kxsim
