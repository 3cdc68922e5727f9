#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "removal/LockAhead.h"
#include "removal/Removal.h"
#include "sessions/ProcessTable.h"
#include "token/Token.h"

class JsonWriter;

// What the removal of a token would do now, told without doing it: the same plan a removal
// makes, carried out by actions that only write down each step. Nothing here locks, signals,
// writes or logs.
class RemovalExplanation {
public:
    // The settings a removal reads, with the rules' reasons on whatever the debug setting says:
    // an explanation always tells why.
    static RemovalPlan::Settings withReasons(RemovalPlan::Settings settings);

    // logind's word on a session's kind (UserSessions::kindOf).
    using KindOf = std::function<std::optional<UserSessions::Kind>(const UserSessions::Session&)>;

    // One token's explanation as a JSON object (docs/dbus-api.md): its plan made with
    // `settings`, the steps a removal would take, what it would do to each of the `running`
    // remote-desktop clients (as ProcessTable lists them), and the lock requests that would
    // leave first, as decided ahead (none yet: null). Whether a screen locker can lock each
    // session to lock is asked of `kindOf`, whatever the settings.
    static void write(JsonWriter& json, const Token::Info& token,
                      const RemovalPlan::Settings& settings, const RemovalPlan& plan,
                      const std::vector<ProcessTable::Process>& running,
                      const std::optional<LockAhead::Prepared>& prepared, const KindOf& kindOf);
};
