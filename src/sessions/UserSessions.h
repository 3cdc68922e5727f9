#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The daemon's view of who is logged in: systemd-logind's sessions completed from the user and
// group database, logind's lock calls, and the MATE screensaver. Every call makes its own GDBus
// connection and drops it again; nothing is kept between calls but the local-account limit.
class UserSessions {
public:
    struct Session {
        std::string id;
        std::string path;   // logind's object path of the session
        std::string user;   // logind's user name up to its first "@"
        std::string gecos;  // from the user database; empty without an entry
        uint32_t uid = 0;
        std::string home;  // from the user database; empty without an entry
        bool isLocal = false;
        std::vector<std::string> groups;
    };

    // Sessions of ordinary users, in logind's order. *listed (if given) tells an empty list
    // from a listing that failed.
    static std::vector<Session> sessions(bool* listed = nullptr);
    // True when logind accepted the request, not that the screen is locked yet.
    static bool lock(const Session& session);
    static bool lockAll();
    // Idle, locked, or not the active session on its seat.
    static bool isSessionLocked(const Session& session);
    static bool mateScreenSaverLock();
    static bool mateIsScreenSaverActive();

    // The digits of the first login.defs line that holds UID_MAX, blanks and a number (a
    // commented-out line and SYS_UID_MAX count too); empty when no line does.
    static std::string uidMaxText(const std::string& loginDefs);

private:
    static uint32_t maxLocalUid();
};
