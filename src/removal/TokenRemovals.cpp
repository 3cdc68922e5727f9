#include "removal/TokenRemovals.h"

#include <syslog.h>

#include <cstdio>
#include <exception>
#include <memory>

#include "base/Common.h"
#include "base/JsonWriter.h"
#include "log/KxLogger.h"
#include "removal/RemovalExplanation.h"
#include "sessions/LogonSetup.h"
#include "sessions/ProcessTable.h"
#include "sessions/UserCertificates.h"

namespace {

using Session = UserSessions::Session;

// The lock command looks once more after the fallback: LockSessions only asks the screen
// lockers, which report a moment later.
constexpr int64_t kFallbackWaitMs = 1000;

}  // namespace

void TokenRemovals::stop() {
    lockAhead_.stop();
    runner_.stop();
}

void TokenRemovals::removed(CK_SLOT_ID slot, Token::Info info, EarlyLocks early) {
    handle(slot, std::move(info), std::move(early), true);
}

void TokenRemovals::leftUnseen(CK_SLOT_ID slot, Token::Info info) {
    handle(slot, std::move(info), {}, false);
}

void TokenRemovals::handle(CK_SLOT_ID slot, Token::Info info, EarlyLocks early, bool seen) {
    // In the state file until its lock requests have gone out: the loop drops it from what it
    // hands over right after this.
    const uint64_t held = stateFile_.hold(info);
    runner_.run([this, slot, info = std::move(info), early = std::move(early), seen, held] {
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
        done_(slot, onTokenEject(info, early, seen, release));
        release();
    });
}

void TokenRemovals::lostTrack(CK_SLOT_ID slot, std::string why) {
    const RemovalPlan::Settings now = settings();
    RemovalPlan plan = RemovalPlan::whenUnknown(now, std::move(why));
    if (plan.action == RemovalPlan::Action::None) {
        return;
    }
    EarlyLocks early;
    early.all = UserSessions::lockAllLater();  // before the record that says why
    runner_.run([this, slot, plan = std::move(plan), now, early = std::move(early)] {
        SystemActions actions(early, &runner_.stopping());
        RemovalOutcome done = Removal::carryOut(Token::Info{}, plan, now, actions);
        done.known = false;
        done_(slot, done);
    });
}

RemovalOutcome TokenRemovals::onTokenEject(const Token::Info& info, const EarlyLocks& early,
                                           bool seen, std::function<void()> requestsSent) {
    SystemActions actions(early, &runner_.stopping());
    actions.whenRequestsSent(std::move(requestsSent));
    try {
        const RemovalPlan::Settings now = settings();
        RemovalPlan decided = RemovalPlan::of(info, now, sources());
        if (!seen) {
            decided = RemovalPlan::withoutPowerOff(std::move(decided));
        }
        return Removal::carryOut(info, decided, now, actions);
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

std::string TokenRemovals::explain(const std::vector<Token::Info>& tokens) const {
    const RemovalPlan::Settings now = RemovalExplanation::withReasons(settings());
    const RemovalPlan::Sources from = sources();
    // What a removal would log of the sessions and files it looks at stays out of the log.
    const KxLogger::Capture quiet(KxLogger::discard());
    // Listed once for every token; the clients are let go of (no pidfd kept) before the answer.
    std::vector<ProcessTable::Process> running;
    if (now.remote == DaemonConfig::TokenEjectActionRemote::CloseConnection && !tokens.empty()) {
        running = ProcessTable::list(SessionMatch::kRemoteClient);
    }
    JsonWriter json;
    json.beginObject().key("tokens").beginArray();
    for (const Token::Info& token : tokens) {
        RemovalExplanation::write(json, token, now, RemovalPlan::of(token, now, from), running,
                                  lockAhead_.peek(token.slotId), UserSessions::kindOf);
    }
    json.end().end();
    return json.text();
}

RemovalPlan::Settings TokenRemovals::settings() const {
    const DaemonConfig::Settings configured = config_.settings();
    RemovalPlan::Settings settings;
    settings.system = configured.actionSystem;
    settings.remote = configured.actionRemote;
    settings.configExists = config_.exists();
    settings.terminateUnlockable = configured.terminateUnlockableSessions;
    settings.match = {configured.debug, configured.forceSessionMatch};
    return settings;
}

RemovalPlan::Sources TokenRemovals::sources() {
    RemovalPlan::Sources sources;
    sources.authType = [] { return LogonSetup::read().type; };
    sources.sessions = &UserSessions::listed;
    // Looked up once for all the sessions of one removal (or explanation), never kept longer.
    auto accounts = std::make_shared<UserSessions::Accounts>();
    sources.complete = [accounts](UserSessions::Session& session) {
        UserSessions::complete(session, *accounts);
    };
    sources.machine.hostName = LogonSetup::hostName();
    sources.machine.userCertificate = [](const UserSessions::Session& session) {
        return UserCertificates::of(session);
    };
    sources.machine.isMember = [accounts](const UserSessions::Session& session,
                                          const std::string& group) {
        return UserSessions::isMember(session, group, *accounts);
    };
    return sources;
}

int TokenRemovals::lockAll() {
    const std::optional<std::vector<Session>> sessions = UserSessions::sessions();
    const bool listed = sessions.has_value();
    const ElapsedTimer requested;
    if (!listed) {
        SystemActions().lockEverything();
    } else {
        for (const Session& session : *sessions) {
            UserSessions::lock(session);
        }
        if (SystemActions::confirmLocked(*sessions, requested)) {
            return 0;
        }
        SystemActions().lockEverything();
        if (SystemActions::waitUntilLocked(*sessions, kFallbackWaitMs)) {
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
