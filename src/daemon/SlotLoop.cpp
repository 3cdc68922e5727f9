#include "daemon/SlotLoop.h"

#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "base/Common.h"
#include "daemon/TokenIdentity.h"
#include "log/KxLogger.h"
#include "token/LibraryCall.h"
#include "token/Token.h"

namespace {

// Storage-only devices have no logon data: the store never lists them.
constexpr char kStorageOnlyModel[] = "Korvex Disk2";
// A pass asks at most this many stored slots while slot events cannot be had.
constexpr size_t kMaxPolledSlots = 64;

bool isStorageOnly(const CK_TOKEN_INFO& info) {
    return std::memcmp(info.model, kStorageOnlyModel, sizeof(kStorageOnlyModel) - 1) == 0;
}

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

// Whether the slot shows a token; false also when it cannot be asked.
bool slotShowsToken(CK_SLOT_ID slot, CK_RV* result = nullptr) {
    CK_SLOT_INFO slotInfo{};
    CK_RV rv = LibraryCall::run(C_GetSlotInfo, slot, &slotInfo);
    if (result != nullptr) {
        *result = rv;
    }
    return rv == CKR_OK && (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
}

}  // namespace

bool SlotLoop::start() {
    loadSaved();
    state_.start();
    {
        DataBase::Lock store(store_);
        saveState(store);  // the saved tokens stay in the file until they are settled
    }
    if (sd_watchdog_enabled(0, &watchdogUsec_) <= 0) {
        watchdogUsec_ = 0;
    }
    CK_RV failure = CKR_OK;
    libraryReady_ = Token::initialize(&failure);
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.librarySince = now();
        status_.libraryReady = libraryReady_;
        status_.libraryError = failure;
    }
    if (!libraryReady_) {
        KxLogger::log(LOG_ERR, "Ошибка C_Initialize. Код возврата = %d", static_cast<int>(failure));
        KxLogger::log(LOG_ERR, "Не удалось инициализировать единую библиотеку!");
        KxLogger::log(LOG_INFO, "Повторная попытка инициализации единой библиотеки каждую секунду");
        return false;
    }
    scanAtStart(true);
    return true;
}

void SlotLoop::loadSaved() {
    SavedTokens saved;
    switch (state_.load(saved)) {
        case StateFile::Found::Nothing:
            break;
        case StateFile::Found::Refused:
            owner_.lostTrack(0,
                             "Какие токены были подключены до запуска демона, неизвестно, "
                             "поэтому блокируем все сессии");
            break;
        case StateFile::Found::Saved:
            saved_ = std::move(saved.tokens);
            unreadable_ = std::move(saved.unread);
            break;
    }
}

void SlotLoop::retryLibrary() {
    sinceLibraryTried_.start();
    CK_RV failure = CKR_OK;
    if (!Token::initialize(&failure)) {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.libraryError = failure;
        return;
    }
    KxLogger::log(LOG_INFO, "Единая библиотека инициализирована");
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.libraryReady = true;
        status_.librarySince = now();
        status_.libraryError = CKR_OK;
    }
    libraryReady_ = true;
    // The service manager was told long ago that the daemon is ready: the tokens are read on
    // the reader's thread, so that the loop's passes go on meanwhile.
    scanAtStart(false);
    owner_.statusChanged();
}

void SlotLoop::scanAtStart(bool readHere) {
    if (!readHere) {
        reader_.start();
    }
    {
        DataBase::Lock store(store_);
        refreshTokensInfo(store);
        store.updateTime();
        noteStatus(store);
    }
    checkSaved();
    reader_.start();
}

void SlotLoop::checkSaved() {
    if (savedChecked_ || !lastListing_) {
        return;  // done, or no listing has succeeded yet
    }
    savedChecked_ = true;
    for (auto slot = unreadable_.begin(); slot != unreadable_.end();) {
        // A slot no longer listed has lost its token, and its mark with it.
        slot = lastListing_->count(*slot) == 0 ? unreadable_.erase(slot) : std::next(slot);
    }
    std::vector<Token::Info> gone;
    for (const Token::Info& token : saved_) {
        if (!stillThere(token)) {
            gone.push_back(token);
        }
    }
    if (!gone.empty()) {
        // A reader may show up late after a start (a USB hub still counting its ports): a token
        // counts as gone only when a second look, a moment later, agrees.
        std::this_thread::sleep_for(std::chrono::milliseconds(kSavedRecheckMs));
        gone.erase(std::remove_if(gone.begin(), gone.end(),
                                  [this](const Token::Info& token) { return stillThere(token); }),
                   gone.end());
    }
    for (Token::Info& token : gone) {
        const CK_SLOT_ID slot = token.slotId;
        owner_.leftUnseen(slot, std::move(token));
    }
    saved_.clear();
    ++savedVersion_;
}

bool SlotLoop::stillThere(const Token::Info& saved) {
    const CK_SLOT_ID slot = saved.slotId;
    if (!slotShowsToken(slot)) {
        return false;  // empty, or no answer: what cannot be shown to be there counts as gone
    }
    {
        DataBase::Lock store(store_);
        auto stored = store.storage().find(slot);
        if (stored != store.storage().end() && !stored->second.incomplete && !saved.incomplete) {
            return TokenIdentity::same(saved, stored->second);  // read whole again just now
        }
    }
    Token::Info header;
    return Token::tokenHeader(slot, header) && TokenIdentity::sameHeader(saved, header);
}

void SlotLoop::saveStateIfChanged() {
    // Read without the store's mutex: only this thread changes the store.
    if (std::make_pair(store_.changeCount(), savedVersion_) != stateSeen_) {
        DataBase::Lock store(store_);
        saveState(store);
    }
}

void SlotLoop::saveState(const DataBase::Lock& store) {
    stateSeen_ = {store_.changeCount(), savedVersion_};
    SavedTokens known;
    for (const auto& [slot, info] : store.storage()) {
        known.tokens.push_back(info);
    }
    known.tokens.insert(known.tokens.end(), saved_.begin(), saved_.end());
    known.unread = unreadable_;
    state_.save(std::move(known));
}

bool SlotLoop::finish() {
    reader_.stop();  // before the library goes: a read in progress ends first
    {
        DataBase::Lock store(store_);
        saveState(store);
    }
    return !libraryReady_ || Token::finalize();
}

void SlotLoop::pass(const std::atomic<bool>& stop) {
    const ElapsedTimer took;
    try {
        passUnguarded(stop);
        afterPass(took.elapsed());
    } catch (const std::exception& error) {
        // No pass may end the loop, and what it was doing may have been a removal.
        owner_.lostTrack(0, Common::format("Ошибка цикла слотов: %s, поэтому блокируем все сессии",
                                           Common::printable(error.what()).c_str()));
    } catch (...) {
        owner_.lostTrack(0, "Ошибка цикла слотов, поэтому блокируем все сессии");
    }
}

void SlotLoop::afterPass(int64_t passMs) {
    saveStateIfChanged();
    const std::optional<TokenReadWorker::InProgress> reading = reader_.inProgress();
    const bool hung = reading && reading->ms > kReadHungMs;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        if (passMs > kLatePassMs) {
            status_.latePassAt = now();
            status_.latePassMs = passMs;
            changed = true;
        }
        const std::optional<CK_SLOT_ID> hungRead =
            hung ? std::optional<CK_SLOT_ID>(reading->slot) : std::nullopt;
        changed = changed || status_.hungRead != hungRead;
        status_.hungRead = hungRead;
    }
    if (changed) {
        owner_.statusChanged();
    }
    // Told at most once a second, or four times a watchdog period when that is shorter.
    const int64_t intervalMs = std::min<int64_t>(1000, static_cast<int64_t>(watchdogUsec_ / 4000));
    if (watchdogUsec_ != 0 && !hung && sinceWatchdog_.elapsed() >= intervalMs) {
        sd_notify(0, "WATCHDOG=1");
        sinceWatchdog_.start();
    }
}

void SlotLoop::passUnguarded(const std::atomic<bool>& stop) {
    if (!libraryReady_) {
        watchBlindness(true);
        if (sinceLibraryTried_.elapsed() >= kLibraryRetryMs) {
            retryLibrary();
        }
        return;
    }
    takeFinishedReads();
    if (listingFailed_) {
        {
            DataBase::Lock store(store_);
            refreshTokensInfo(store);
            if (!listingFailed_) {
                store.updateTime();  // the rescan cleared isNew
            }
            noteStatus(store);
        }
        checkSaved();
    }
    rereadIncomplete();
    lockSlowChecks();
    pollSlotEvents(stop);
}

void SlotLoop::pollSlotEvents(const std::atomic<bool>& stop) {
    // A burst (a flapping or hostile device) is drained without sleeping between its events,
    // so a real removal waits behind it for passes, not for one pass per event. The bound keeps
    // the stop flag in reach.
    for (int taken = 0; taken < kMaxEventsPerPass && !stop; ++taken) {
        CK_RV result = LibraryCall::run(C_WaitForSlotEvent, CKF_DONT_BLOCK, &eventSlot_, nullptr);
        if (result == CKR_NO_EVENT || result == CKR_OK) {
            endWaitFailures();
            watchBlindness(false);
            if (result == CKR_NO_EVENT) {
                return;
            }
            onSlotEvent(result, eventSlot_);
            continue;
        }
        // A library whose events fail is asked again at the next pass; meanwhile the stored
        // slots are asked one by one, so that a removal is still seen within a pass.
        if (waitFailures_++ == 0) {
            KxLogger::log(LOG_ERR,
                          "Ошибка C_WaitForSlotEvent. Код возврата = %d. Слоты проверяются опросом",
                          static_cast<int>(result));
            onSlotEvent(result, eventSlot_);
        }
        watchBlindness(!pollStoredSlots());
        return;
    }
}

void SlotLoop::endWaitFailures() {
    if (waitFailures_ == 0) {
        return;
    }
    KxLogger::log(LOG_INFO, "C_WaitForSlotEvent снова работает, ошибок подряд: %llu",
                  static_cast<unsigned long long>(waitFailures_));
    waitFailures_ = 0;
}

bool SlotLoop::pollStoredSlots() {
    std::vector<CK_SLOT_ID> stored;
    {
        DataBase::Lock store(store_);
        for (const auto& [slot, info] : store.storage()) {
            if (stored.size() == kMaxPolledSlots) {
                break;
            }
            stored.push_back(slot);
        }
    }
    bool answered = stored.empty();
    for (CK_SLOT_ID slot : stored) {
        CK_RV result = CKR_OK;
        const bool present = slotShowsToken(slot, &result);
        if (result != CKR_OK) {
            continue;  // says nothing: only an answer shows a slot empty
        }
        answered = true;
        if (!present) {
            onSlotEvent(CKR_OK, slot);
        }
    }
    return answered;
}

void SlotLoop::watchBlindness(bool blind) {
    if (!blind) {
        blindSince_.reset();
        if (blindLocked_) {
            blindLocked_ = false;
            noteStatus(DataBase::Lock(store_));
        }
        return;
    }
    if (!blindSince_) {
        blindSince_.emplace();
    }
    if (!blindLocked_ && blindSince_->elapsed() > kBlindMs) {
        blindLocked_ = true;
        owner_.lostTrack(0, Common::format("Демон не видит токены дольше %lld с, поэтому "
                                           "блокируем все сессии",
                                           static_cast<long long>(kBlindMs / 1000)));
        noteStatus(DataBase::Lock(store_));
    }
}

void SlotLoop::onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot) {
    CK_SLOT_INFO slotInfo{};
    CK_RV result = LibraryCall::run(C_GetSlotInfo, slot, &slotInfo);
    if (result != CKR_OK) {
        slotInfo = CK_SLOT_INFO{};  // a failed call may have written part of it
    }
    const bool present = (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
    // A stored token has left: the lock requests decided ahead for it leave first, before
    // anything is logged, read or looked up.
    std::optional<EarlyLocks> early;
    if (!present) {
        early = LockAhead::send(lockAhead_.take(slot));
    }
    owner_.beforeEvent();
    if (result != CKR_OK) {
        KxLogger::log(LOG_WARNING, "Ошибка получение информации о слоте %lu", slot);
    }
    KxLogger::log(LOG_INFO,
                  "Token event: event %d, slot %lu, flags %d hardware version %d.%d, firmware "
                  "version %d.%d",
                  static_cast<int>(eventResult), slot, static_cast<int>(slotInfo.flags),
                  slotInfo.hardwareVersion.major, slotInfo.hardwareVersion.minor,
                  slotInfo.firmwareVersion.major, slotInfo.firmwareVersion.minor);
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.lastEventAt = now();
        status_.lastEventSlot = slot;
        status_.lastEventResult = eventResult;
        status_.lastEventFlags = slotInfo.flags;
    }
    DataBase::Lock store(store_);
    onSlotChange(store, slot, present, std::move(early));
    store.updateTime();
    noteStatus(store);
}

void SlotLoop::onSlotChange(DataBase::Lock& store, CK_SLOT_ID slot, bool present,
                            std::optional<EarlyLocks> early) {
    const bool known = stateKnown(store, slot);
    storageOnly_.erase(slot);
    if (!present) {
        unreadable_.erase(slot);
    }
    if (readInFlightDecides(store, slot, present)) {
        return;
    }
    DataBase::Storage& storage = store.storage();
    auto record = storage.find(slot);
    const bool wasStored = record != storage.end();
    if (wasStored) {
        if (present && stillThere(store, slot, record->second)) {
            return;
        }
        ejectStored(store, record, std::move(early));
    } else if (listingFailed_ && !known) {
        // Nothing tells what the slot held before: this event may hide a removal.
        owner_.lostTrack(slot, Common::format(present ? "Событие в слоте %lu, состояние которого "
                                                        "неизвестно: список слотов получить не "
                                                        "удалось, поэтому блокируем все сессии"
                                                      : "Отключено устройство в слоте %lu, "
                                                        "неизвестное демону: список слотов "
                                                        "получить не удалось, поэтому блокируем "
                                                        "все сессии",
                                              slot));
    }
    if (!present) {
        seenEmpty_.insert(slot);
        if (wasStored) {
            return;
        }
    } else {
        seenEmpty_.erase(slot);
    }
    refreshTokensInfo(store);
    if (listingFailed_ && present && storage.count(slot) == 0 && reading_.count(slot) == 0) {
        considerSlot(store, slot);  // a failed listing must not hide the token the event is about
    }
}

bool SlotLoop::readInFlightDecides(DataBase::Lock& store, CK_SLOT_ID slot, bool present) {
    auto reading = reading_.find(slot);
    if (reading == reading_.end()) {
        return false;
    }
    if (store.storage().count(slot) != 0) {
        // A stored token's check waits for nothing: this event decides anew, at once (a
        // removal must not wait for reads queued before), and the old check's answer is void.
        reading_.erase(reading);
        return false;
    }
    if (present) {
        // What is being read may be the token that has just left and another: once the read is
        // stored, the slot is looked at again as it is then.
        reading->second.changed = true;
        return true;
    }
    // Whose the token was, the read had not found out yet.
    reading_.erase(reading);
    seenEmpty_.insert(slot);
    owner_.lostTrack(slot, Common::format("Отключено устройство в слоте %lu, данные которого не "
                                          "были прочитаны полностью, поэтому блокируем все сессии",
                                          slot));
    return true;
}

bool SlotLoop::stillThere(DataBase::Lock& store, CK_SLOT_ID slot, const Token::Info& stored) {
    // One event may stand for a token pulled and another put in: the token there now must be
    // the stored one, at a glance now and by a full read (reader_) next.
    Token::Info header;
    if (!Token::tokenHeader(slot, header) || !TokenIdentity::sameHeader(stored, header)) {
        return false;
    }
    if (unreadable_.count(slot) == 0) {
        requestRead(store, slot, stored.incomplete ? ReadKind::Reread : ReadKind::Check);
    }
    return true;
}

bool SlotLoop::stateKnown(const DataBase::Lock& store, CK_SLOT_ID slot) const {
    return store.storage().count(slot) != 0 || reading_.count(slot) != 0 ||
           storageOnly_.count(slot) != 0 || seenEmpty_.count(slot) != 0 ||
           (lastListing_ && lastListing_->count(slot) == 0);
}

void SlotLoop::ejectStored(DataBase::Lock& store, DataBase::Storage::iterator record,
                           std::optional<EarlyLocks> early) {
    const CK_SLOT_ID slot = record->first;
    auto sentForCheck = checkLocks_.find(slot);
    if (sentForCheck != checkLocks_.end() && (!early || early->empty())) {
        early = std::move(sentForCheck->second);
    }
    if (sentForCheck != checkLocks_.end()) {
        checkLocks_.erase(sentForCheck);
    }
    if (!early) {
        early = LockAhead::send(lockAhead_.take(slot));
    }
    Token::Info info = std::move(record->second);
    store.storage().erase(record);
    incomplete_.erase(slot);
    owner_.removed(slot, std::move(info), std::move(*early));
}

void SlotLoop::refreshTokensInfo(DataBase::Lock& store) {
    std::vector<CK_SLOT_ID> slots;
    if (!listSlots(slots)) {
        return;
    }
    listingFailed_ = false;
    lastListing_.emplace(slots.begin(), slots.end());
    seenEmpty_.clear();  // the listing tells it all now
    slotsListed_ = slots.size();
    ++generation_;
    for (CK_SLOT_ID slot : slots) {
        considerSlot(store, slot);
    }
}

bool SlotLoop::listSlots(std::vector<CK_SLOT_ID>& slots) {
    CK_ULONG count = 0;
    CK_RV result = LibraryCall::run(C_GetSlotList, CK_TRUE, nullptr, &count);
    if (result != CKR_OK) {
        listingFailed("Ошибка C_GetSlotList nSlotCount. Код возврата = %d", result);
        return false;
    }
    if (count > kMaxSlots) {
        listingFailed("Библиотека сообщила о %lu слотах: список слотов не принят", count);
        return false;
    }
    slots.resize(count);
    if (count != 0) {
        result = LibraryCall::run(C_GetSlotList, CK_TRUE, slots.data(), &count);
        if (result != CKR_OK) {
            // CKR_BUFFER_TOO_SMALL too: a count that keeps growing is no listing.
            listingFailed("Ошибка C_GetSlotList. Код возврата = %d", result);
            return false;
        }
    }
    // The second call may report fewer slots than the first (a token left in between).
    slots.resize(std::min<size_t>(count, slots.size()));
    return true;
}

void SlotLoop::listingFailed(const char* format, unsigned long value) {
    // Asked again at every pass: the error is logged once, when it starts failing.
    if (!listingFailed_) {
        KxLogger::log(LOG_ERR, format, value);
    }
    listingFailed_ = true;
}

void SlotLoop::considerSlot(DataBase::Lock& store, CK_SLOT_ID slot) {
    if (reading_.count(slot) != 0 || storageOnly_.count(slot) != 0) {
        return;  // being read already (the rescan that asked for it adds it), or no logon token
    }
    CK_TOKEN_INFO tokenInfo{};
    CK_RV result = LibraryCall::run(C_GetTokenInfo, slot, &tokenInfo);
    if (result != CKR_OK) {
        // One broken or hostile token must not hide the tokens in later slots.
        KxLogger::log(LOG_ERR, "Ошибка C_GetTokenInfo. Код возврата = %d",
                      static_cast<int>(result));
        return;
    }
    if (isStorageOnly(tokenInfo)) {
        storageOnly_.insert(slot);
        return;
    }
    DataBase::Storage& storage = store.storage();
    auto known = storage.find(slot);
    if (known != storage.end()) {
        known->second.isNew = false;
        return;
    }
    if (unreadable_.count(slot) == 0) {
        requestRead(store, slot, ReadKind::First);
    } else {
        storeUnread(store, slot);
    }
}

void SlotLoop::storeUnread(DataBase::Lock& store, CK_SLOT_ID slot) {
    Token::Info header;
    Token::tokenHeader(slot, header);  // whatever it tells, quietly
    header.incomplete = true;
    KxLogger::log(LOG_WARNING,
                  "Токен в слоте %lu не читается, пока он не будет отключен: его прежнее чтение "
                  "не завершилось",
                  slot);
    addRecord(store, slot, std::move(header), true);
}

void SlotLoop::requestRead(DataBase::Lock& store, CK_SLOT_ID slot, ReadKind kind, int attempt) {
    const uint64_t ticket = ++tickets_;
    reading_[slot] = SlotRead{ticket, kind, false, generation_, attempt, ElapsedTimer()};
    if (!reader_.running()) {
        // The first scan, before the service manager is told the daemon is ready.
        state_.reading(slot);
        Token::Info info = Token::tokenInfo(slot);
        state_.reading(std::nullopt);
        onTokenRead(store, {slot, ticket, std::move(info), false});
        return;
    }
    std::shared_ptr<const Token::Info> expected;
    if (kind == ReadKind::Check) {
        // A check stops at the first thing that is not the stored token's.
        expected = std::make_shared<const Token::Info>(store.storage().at(slot));
    }
    reader_.request(slot, ticket, std::move(expected));
}

void SlotLoop::takeFinishedReads() {
    std::vector<TokenReadWorker::Read> reads = reader_.takeFinished();
    if (reads.empty()) {
        return;
    }
    DataBase::Lock store(store_);
    for (TokenReadWorker::Read& read : reads) {
        onTokenRead(store, std::move(read));
    }
    store.updateTime();
    noteStatus(store);
}

void SlotLoop::onTokenRead(DataBase::Lock& store, TokenReadWorker::Read read) {
    const CK_SLOT_ID slot = read.slot;
    auto reading = reading_.find(slot);
    if (reading == reading_.end() || reading->second.ticket != read.ticket) {
        return;  // given up
    }
    const SlotRead request = reading->second;
    reading_.erase(reading);
    if (read.overran && LibraryCall::serialised()) {
        // Its calls held every other library call up past the bound: not again while it stays.
        unreadable_.insert(slot);
    }
    DataBase::Storage& storage = store.storage();
    auto stored = storage.find(slot);
    if (stored == storage.end()) {
        addRecord(store, slot, std::move(read.info), request.generation == generation_);
    } else if (request.kind == ReadKind::Check) {
        onCheckRead(store, request, stored, std::move(read.info));
    } else if (Token::mayBe(read.info, stored->second)) {
        replaceStored(store, slot, std::move(read.info));  // more of the same token
    } else {
        ejectStored(store, stored);
        addRecord(store, slot, std::move(read.info), true);
    }
    if (request.changed && storage.count(slot) != 0) {
        onSlotChange(store, slot, slotShowsToken(slot));
    }
}

void SlotLoop::onCheckRead(DataBase::Lock& store, const SlotRead& request,
                           DataBase::Storage::iterator stored, Token::Info info) {
    const CK_SLOT_ID slot = stored->first;
    if (!info.incomplete && TokenIdentity::same(stored->second, info)) {
        if (checkLocks_.erase(slot) != 0) {
            lockAhead_.stored(slot, stored->second);  // its list was spent: made anew
        }
        return;
    }
    if (info.incomplete && Token::mayBe(stored->second, info)) {
        // Not shown to be another token, nor the same: once more, then it is not trusted.
        if (request.attempt == 0) {
            requestRead(store, slot, ReadKind::Check, 1);
            return;
        }
        KxLogger::log(
            LOG_WARNING,
            "Не удалось убедиться, что в слоте %lu тот же токен: он считается отключенным", slot);
        ejectStored(store, stored);
        requestRead(store, slot, ReadKind::First);
        return;
    }
    ejectStored(store, stored);
    // Added as a rescan would add it: the one new record.
    ++generation_;
    for (auto& [otherSlot, other] : store.storage()) {
        other.isNew = false;
    }
    addRecord(store, slot, std::move(info), true);
}

void SlotLoop::lockSlowChecks() {
    for (const auto& [slot, read] : reading_) {
        if (read.kind != ReadKind::Check || checkLocks_.count(slot) != 0 ||
            read.since.elapsed() < kCheckLockMs) {
            continue;
        }
        checkLocks_.emplace(slot, LockAhead::send(lockAhead_.take(slot)));
        KxLogger::log(LOG_WARNING,
                      "Проверка токена в слоте %lu длится дольше %lld мс: его сессии блокируются, "
                      "как при отключении",
                      slot, static_cast<long long>(kCheckLockMs));
    }
}

void SlotLoop::rereadIncomplete() {
    for (auto& [slot, sinceRead] : incomplete_) {
        if (sinceRead.elapsed() >= kIncompleteRereadMs && reading_.count(slot) == 0 &&
            unreadable_.count(slot) == 0) {
            sinceRead.start();
            DataBase::Lock store(store_);
            requestRead(store, slot, ReadKind::Reread);
        }
    }
}

void SlotLoop::addRecord(DataBase::Lock& store, CK_SLOT_ID slot, Token::Info info, bool isNew) {
    info.isNew = isNew;
    info.slotId = slot;  // also for a read that failed before it learnt it
    if (info.incomplete) {
        incomplete_[slot].start();
    }
    auto [added, inserted] = store.storage().insert_or_assign(slot, std::move(info));
    (void)inserted;
    lockAhead_.stored(slot, added->second);
    KxLogger::log(LOG_INFO, "Подключено новое устройство в слоте %lu label:%s model:%s", slot,
                  Common::printable(added->second.label).c_str(),
                  Common::printable(added->second.model).c_str());
}

void SlotLoop::replaceStored(DataBase::Lock& store, CK_SLOT_ID slot, Token::Info info) {
    Token::Info& stored = store.storage().at(slot);
    info.isNew = stored.isNew;
    stored = std::move(info);
    if (!stored.incomplete) {
        incomplete_.erase(slot);
    }
    lockAhead_.stored(slot, stored);
}

StatusReport::Loop SlotLoop::status() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
}

void SlotLoop::noteStatus(const DataBase::Lock& store) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    const size_t stored = store.storage().size();
    const bool blind = blindLocked_;
    if (status_.listingFailed != listingFailed_ || status_.tokensStored != stored ||
        status_.blind != blind || status_.incompleteTokens != incomplete_.size()) {
        owner_.statusChanged();  // all in the status line
    }
    status_.listingFailed = listingFailed_;
    status_.slotsListed = slotsListed_;
    status_.tokensStored = stored;
    status_.readsInProgress = reading_.size();
    status_.incompleteTokens = incomplete_.size();
    status_.blind = blind;
    status_.slotEventsFailing = waitFailures_ != 0;
}
