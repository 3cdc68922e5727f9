#pragma once

// The slots and tokens that the application sees. Changes found in the token directory are
// recorded at once, but the application's view of a slot moves only when it takes that slot's
// event, and then straight to the slot's present state: as in real libraries, a slot has at most
// one event waiting, so two changes of one slot between two polls (a token pulled and another
// put in) come as one event. An application that has not yet asked for slot events sees every
// change at once (the events are kept for it, so its first events still tell what changed).

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

    // Takes the event of the slot whose oldest unreported change came first, and moves that
    // slot's view to its present state; tokens that left the view are added to gone.
    std::optional<CK_SLOT_ID> takeEvent(std::vector<TokenPtr>& gone);
    // The slot whose event takeEvent would take.
    std::optional<CK_SLOT_ID> nextEvent() const {
        return pending_.empty() ? std::nullopt : std::optional(pending_.front());
    }
    // Moves the view of every slot to the directory's state, keeping the events.
    void catchUp(std::vector<TokenPtr>& gone);
    // Forgets the waiting events (the state at start-up is no event).
    void clearEvents() { pending_.clear(); }

    bool knows(CK_SLOT_ID slot) const { return view_.count(slot) > 0; }
    TokenPtr token(CK_SLOT_ID slot) const;
    // False once the token has left its slot, even when the application has not taken the
    // event yet.
    bool isPresent(const TokenPtr& token) const;
    std::vector<CK_SLOT_ID> slots(bool withToken) const;
    // The tokens the application sees, and those in the directory now, by slot.
    std::vector<TokenPtr> tokens() const;
    const std::map<CK_SLOT_ID, TokenPtr>& presentTokens() const { return latest_; }

private:
    void show(CK_SLOT_ID slot, std::vector<TokenPtr>& gone);

    std::map<CK_SLOT_ID, TokenPtr> view_;    // every slot ever seen; null when empty
    std::map<CK_SLOT_ID, TokenPtr> latest_;  // what the directory holds now
    std::deque<CK_SLOT_ID> pending_;         // slots with an event waiting, each once
};

}  // namespace kxsim
