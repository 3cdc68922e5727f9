#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sessions/ProcessTable.h"
#include "sessions/RemovalPlan.h"
#include "sessions/SessionMatch.h"
#include "token/Token.h"

class JsonWriter;

// What the removal of a token would do now, told without doing it: the plan of its sessions and
// the remote-desktop clients it would interrupt, decided by the very rules a removal follows.
// Nothing here locks, signals or writes.
class RemovalExplanation {
public:
    // One running remote-desktop client as a removal of the token would see it.
    struct Client {
        int32_t pid = 0;
        int32_t ppid = -1;
        std::string user, domain, server;  // its /u:, /d: and /v: options
        SessionMatch::Verdict verdict;
        // For a client that would be interrupted: whether its parent would be too.
        SessionMatch::ClientParent parent = SessionMatch::ClientParent::None;
        std::string parentName;
    };

    // The settings a removal reads, with the rules' reasons on whatever the debug setting says:
    // an explanation always tells why.
    static RemovalPlan::Settings withReasons(RemovalPlan::Settings settings);

    // What a removal of the token would do to each of the running clients (as ProcessTable lists
    // the remote-desktop clients). Their parents' names are read, nothing is signalled.
    static std::vector<Client> remoteClients(const std::vector<ProcessTable::Process>& running,
                                             const Token::Info& token,
                                             const SessionMatch::Settings& settings);

    // One token's explanation as a JSON object (docs/dbus-api.md): its plan made with `settings`,
    // and the clients, which count only when the plan closes remote connections.
    static void write(JsonWriter& json, const Token::Info& token,
                      const RemovalPlan::Settings& settings, const RemovalPlan& plan,
                      const std::vector<Client>& clients);
};
