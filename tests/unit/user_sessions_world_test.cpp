// Login sessions through the world's logind and screensaver mocks, as far as no system test
// sees it: what GDBus leaves behind on the main thread, which runs no main loop.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include "sessions/UserSessions.h"

namespace {

// Anything queued on the main context stays there for good: GDBus proxies once left their owner
// watch's end there, some hundred bytes with every removal (12 MiB over 10,000 removals).
TEST(UserSessionsInWorld, CallsLeaveNothingOnTheMainContext) {
    UserSessions::Session session;
    session.path = "/org/freedesktop/login1/session/gone";
    for (int round = 0; round < 3; ++round) {
        bool listed = false;
        UserSessions::sessions(&listed);
        ASSERT_TRUE(listed);
        EXPECT_FALSE(g_main_context_pending(nullptr)) << "after listing the sessions";
        UserSessions::isSessionLocked(session);
        EXPECT_FALSE(g_main_context_pending(nullptr)) << "after a session's lock state";
        UserSessions::mateIsScreenSaverActive();
        EXPECT_FALSE(g_main_context_pending(nullptr)) << "after the screensaver's state";
    }
}

}  // namespace
