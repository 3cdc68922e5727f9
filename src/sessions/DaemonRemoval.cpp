// What the daemon does when a token leaves its reader, and the "lock" command.
#include <syslog.h>

#include <cstdio>
#include <exception>

#include "daemon/Daemon.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "removal/SystemActions.h"

namespace {

using Session = UserSessions::Session;

// The lock command looks once more after the fallback: LockSessions only asks the screen
// lockers, which report a moment later.
constexpr int64_t kFallbackWaitMs = 1000;

}  // namespace

void Daemon::removed(CK_SLOT_ID slot, Token::Info info, EarlyLocks early) {
    handleRemoval(slot, std::move(info), std::move(early), true);
}

void Daemon::leftUnseen(CK_SLOT_ID slot, Token::Info info) {
    handleRemoval(slot, std::move(info), {}, false);
}

void Daemon::handleRemoval(CK_SLOT_ID slot, Token::Info info, EarlyLocks early, bool seen) {
    // In the state file until its lock requests have gone out: the loop drops it from what it
    // hands over right after this.
    const uint64_t held = stateFile_.hold(info);
    removals_.run([this, slot, info = std::move(info), early = std::move(early), seen, held] {
        if (seen) {
            KxLogger::log(LOG_INFO, "Отключено устройство в слоте %lu label:%s model:%s", slot,
                          Common::printable(info.label).c_str(),
                          Common::printable(info.model).c_str());
        } else {
            KxLogger::log(LOG_INFO,
                          "Устройство в слоте %lu label:%s model:%s отключено, пока демон не "
                          "работал",
                          slot, Common::printable(info.label).c_str(),
                          Common::printable(info.model).c_str());
        }
        const auto release = [this, held] { stateFile_.release(held); };
        noteRemoval(slot, onTokenEject(info, early, seen, release));
        release();
    });
}

void Daemon::lostTrack(CK_SLOT_ID slot, std::string why) {
    const RemovalPlan::Settings settings = removalSettings();
    RemovalPlan plan = RemovalPlan::whenUnknown(settings, std::move(why));
    if (plan.action == RemovalPlan::Action::None) {
        return;
    }
    EarlyLocks early;
    early.all = UserSessions::lockAllLater();  // before the record that says why
    removals_.run([this, slot, plan = std::move(plan), settings, early = std::move(early)] {
        SystemActions actions(early, &removals_.stopping());
        RemovalOutcome done = Removal::carryOut(Token::Info{}, plan, settings, actions);
        done.known = false;
        noteRemoval(slot, done);
    });
}

RemovalOutcome Daemon::onTokenEject(const Token::Info& info, const EarlyLocks& early, bool seen,
                                    std::function<void()> requestsSent) {
    SystemActions actions(early, &removals_.stopping());
    actions.whenRequestsSent(std::move(requestsSent));
    try {
        const RemovalPlan::Settings settings = removalSettings();
        RemovalPlan plan = RemovalPlan::of(info, settings, removalSources());
        if (!seen) {
            plan = RemovalPlan::withoutPowerOff(std::move(plan));
        }
        return Removal::carryOut(info, plan, settings, actions);
    } catch (const std::exception& error) {
        // This token's sessions must not stay open.
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена. %s",
                      Common::printable(error.what()).c_str());
    } catch (...) {
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена");
    }
    actions.lockEverything();
    RemovalOutcome done;
    done.outcome = RemovalOutcome::Outcome::LockedAll;
    return done;
}

bool Daemon::checkSessionsLock(const std::vector<UserSessions::Session>& sessions,
                               const ElapsedTimer& sinceRequests) {
    if (SystemActions::confirmLocked(sessions, sinceRequests)) {
        return true;
    }
    SystemActions().lockEverything();
    return false;
}

bool Daemon::isMateRunning() {
    return SystemActions::isMateRunning();
}

int Daemon::lockAll() {
    const std::optional<std::vector<Session>> sessions = UserSessions::sessions();
    const bool listed = sessions.has_value();
    const ElapsedTimer requested;
    if (!listed) {
        SystemActions().lockEverything();
    } else {
        for (const Session& session : *sessions) {
            UserSessions::lock(session);
        }
        if (checkSessionsLock(*sessions, requested) ||
            SystemActions::waitUntilLocked(*sessions, kFallbackWaitMs)) {
            return 0;
        }
    }
    // Reporting success while sessions stay open would let a caller walk away from them.
    const char* failure = listed ? "Не удалось подтвердить блокировку сессий пользователей"
                                 : "Не удалось получить список сессий пользователей";
    KxLogger::log(LOG_ERR, "%s", failure);
    std::fprintf(stderr, "kxsentrixd lock: %s\n", failure);
    return 1;
}
