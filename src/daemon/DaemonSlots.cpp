// The slot loop: the vendor library's start, slot events, rescans and the token store.
//
// Tokens are read on reader_'s thread and stored here, by the main thread alone, in the pass
// after the read ends; removals are handled here at their event. So a token slow to read holds
// up neither the removal of another token nor the loop, and the store changes only on this
// thread, under its mutex, as before (see TokenReadWorker.h for the locks).
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/Daemon.h"
#include "daemon/TokenIdentity.h"
#include "log/Common.h"
#include "log/KxLogger.h"
#include "token/LibraryCall.h"

namespace {

// Storage-only devices have no logon data: the store never lists them.
constexpr char kStorageOnlyModel[] = "Korvex Disk2";

bool isStorageOnly(const CK_TOKEN_INFO& info) {
    return std::memcmp(info.model, kStorageOnlyModel, sizeof(kStorageOnlyModel) - 1) == 0;
}

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

bool Daemon::startLibrary() {
    CK_RV failure = CKR_OK;
    if (Token::initialize(&failure)) {
        {
            std::lock_guard<std::mutex> lock(statusMutex_);
            status_.libraryReady = true;
            status_.librarySince = now();
        }
        scanAtStart();
        // A service manager waiting for us (Type=notify) may go on now: the store is filled
        // and the loop acts on the next event. Without NOTIFY_SOCKET this does nothing.
        notifyStatus("READY=1\n");
        return true;
    }
    KxLogger::log(LOG_ERR, "Ошибка C_Initialize. Код возврата = %d", static_cast<int>(failure));
    KxLogger::log(LOG_ERR, "Не удалось инициализировать единую библиотеку!");
    KxLogger::log(LOG_INFO, "Повторная попытка инициализации единой библиотеки каждую секунду");
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.librarySince = now();
        status_.libraryError = failure;
    }
    notifyStatus("READY=1\n");
    return false;
}

void Daemon::retryLibrary() {
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
    scanAtStart();
    notifyStatus();
}

void Daemon::scanAtStart() {
    {
        std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
        refreshTokensInfo();
        DataBase::updateTime();
        noteStatus();
    }
    reader_.start();
}

Daemon::LoopStatus Daemon::loopStatus() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
}

StatusReport Daemon::statusReport() const {
    StatusReport report;
    report.version = KX_VERSION;
    report.startedAt = startedAt_;
    report.uptimeSeconds = running_.elapsed() / 1000;
    report.loop = loopStatus();
    report.config = config_.status();
    report.configActedOn = config_.exists();
    const KxLogger::Counts logged = KxLogger::counts();
    report.logDropped = logged.dropped;
    report.logHeldBack = logged.heldBack;
    return report;
}

bool Daemon::notifyStatus(const char* first) {
    std::string line = statusReport().line();
    if (*first == '\0' && line == statusLine_) {
        return false;
    }
    // Without NOTIFY_SOCKET this does nothing.
    sd_notify(0, (first + std::string("STATUS=") + line).c_str());
    statusLine_ = std::move(line);
    return true;
}

void Daemon::noteRemoval(CK_SLOT_ID slot, StatusReport::Removal removal) {
    removal.at = now();
    removal.slot = slot;
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.lastRemoval = removal;
    }
    statusChanged_ = true;
}

void Daemon::noteStatus() {
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (status_.listingFailed != listingFailed_ ||
        status_.tokensStored != DataBase::storage().size()) {
        statusChanged_ = true;  // both are in the status line
    }
    status_.listingFailed = listingFailed_;
    status_.slotsListed = slotsListed_;
    status_.tokensStored = DataBase::storage().size();
    status_.readsInProgress = reading_.size();
}

void Daemon::pollSlotEvents(CK_SLOT_ID& slot) {
    // A burst (a flapping or hostile device) is drained without sleeping between its events,
    // so a real removal waits behind it for passes, not for one pass per event. The bound keeps
    // the stop flag in reach.
    for (int taken = 0; taken < kMaxEventsPerPass && !stop_; ++taken) {
        CK_RV result = LibraryCall::run(C_WaitForSlotEvent, CKF_DONT_BLOCK, &slot, nullptr);
        if (result == CKR_NO_EVENT) {
            return;
        }
        onSlotEvent(result, slot);
        if (result != CKR_OK) {
            return;  // a library that fails is asked again at the next pass, not at once
        }
    }
}

void Daemon::onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot) {
    reloadConfig();

    CK_SLOT_INFO slotInfo{};
    CK_RV result = LibraryCall::run(C_GetSlotInfo, slot, &slotInfo);
    if (result != CKR_OK) {
        KxLogger::log(LOG_WARNING, "Ошибка получение информации о слоте %lu", slot);
        slotInfo = CK_SLOT_INFO{};  // a failed call may have written part of it
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

    std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
    onSlotChange(slot, (slotInfo.flags & CKF_TOKEN_PRESENT) != 0);
    DataBase::updateTime();
    noteStatus();
}

void Daemon::onSlotChange(CK_SLOT_ID slot, bool present) {
    storageOnly_.erase(slot);
    DataBase::Storage& storage = DataBase::storage();
    auto record = storage.find(slot);
    auto reading = reading_.find(slot);
    if (reading != reading_.end()) {
        if (record == storage.end()) {
            // What is being read may be the token that has just left, or half of it: once the
            // read is stored, the slot is looked at again as it is then.
            reading->second.changed = true;
            return;
        }
        // A stored token's check waits for nothing: this event decides anew, at once (a
        // removal must not wait for reads queued before), and the old check's answer is void.
        reading_.erase(reading);
    }
    if (record != storage.end()) {
        if (present) {
            // One event may stand for a token pulled and another put in: the token there now
            // must be the stored one, at a glance now and by a full read (reader_) next.
            Token::Info header;
            if (Token::tokenHeader(slot, header) &&
                TokenIdentity::sameHeader(record->second, header)) {
                requestRead(slot, true);
                return;
            }
        }
        ejectStored(record);
        if (!present) {
            return;
        }
    } else if (!present && listingFailed_) {
        noteRemoval(slot, onUnknownTokenEject(slot));
    }
    refreshTokensInfo();
    if (listingFailed_ && present && storage.count(slot) == 0 && reading_.count(slot) == 0) {
        considerSlot(slot);  // a failed listing must not hide the token the event is about
    }
}

void Daemon::ejectStored(DataBase::Storage::iterator record) {
    KxLogger::log(LOG_INFO, "Отключено устройство в слоте %lu label:%s model:%s", record->first,
                  Common::printable(record->second.label).c_str(),
                  Common::printable(record->second.model).c_str());
    noteRemoval(record->first, onTokenEject(record->second));
    DataBase::storage().erase(record);
}

void Daemon::refreshTokensInfo() {
    // A listing that fails is asked again at every pass: its error is logged once, when it
    // starts failing, not at every pass.
    const auto listingFailed = [this](const char* format, CK_RV result) {
        if (!listingFailed_) {
            KxLogger::log(LOG_ERR, format, static_cast<int>(result));
        }
        listingFailed_ = true;
    };
    CK_ULONG count = 0;
    CK_RV result = LibraryCall::run(C_GetSlotList, CK_TRUE, nullptr, &count);
    if (result != CKR_OK) {
        listingFailed("Ошибка C_GetSlotList nSlotCount. Код возврата = %d", result);
        return;
    }
    std::vector<CK_SLOT_ID> slots(count);
    if (count != 0) {
        result = LibraryCall::run(C_GetSlotList, CK_TRUE, slots.data(), &count);
        if (result != CKR_OK) {
            listingFailed("Ошибка C_GetSlotList. Код возврата = %d", result);
            return;
        }
    }
    listingFailed_ = false;
    // The second call may report fewer slots than the first (a token left in between).
    slots.resize(std::min<size_t>(count, slots.size()));
    slotsListed_ = slots.size();
    ++generation_;
    for (CK_SLOT_ID slot : slots) {
        considerSlot(slot);
    }
}

void Daemon::considerSlot(CK_SLOT_ID slot) {
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
    DataBase::Storage& storage = DataBase::storage();
    auto known = storage.find(slot);
    if (known != storage.end()) {
        known->second.isNew = false;
        return;
    }
    requestRead(slot, false);
}

void Daemon::requestRead(CK_SLOT_ID slot, bool verify) {
    const uint64_t ticket = ++tickets_;
    reading_[slot] = SlotRead{ticket, verify, false, generation_};
    if (reader_.running()) {
        // A stored token's check goes first: until it is done, that token's removal (should
        // the one in its slot be another) waits for it.
        reader_.request(slot, ticket, verify);
    } else {
        onTokenRead(slot, ticket, Token::tokenInfo(slot));  // the first scan
    }
}

void Daemon::takeFinishedReads() {
    std::vector<TokenReadWorker::Read> reads = reader_.takeFinished();
    if (reads.empty()) {
        return;
    }
    std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
    for (TokenReadWorker::Read& read : reads) {
        onTokenRead(read.slot, read.ticket, std::move(read.info));
    }
    DataBase::updateTime();
    noteStatus();
}

void Daemon::onTokenRead(CK_SLOT_ID slot, uint64_t ticket, Token::Info info) {
    auto reading = reading_.find(slot);
    if (reading == reading_.end() || reading->second.ticket != ticket) {
        return;  // given up
    }
    const SlotRead read = reading->second;
    reading_.erase(reading);
    DataBase::Storage& storage = DataBase::storage();
    auto stored = storage.find(slot);
    if (!read.verify || stored == storage.end()) {
        addRecord(slot, std::move(info), read.generation == generation_);
    } else if (!TokenIdentity::same(stored->second, info)) {
        ejectStored(stored);
        // Added as a rescan would add it: the one new record.
        ++generation_;
        for (auto& [otherSlot, other] : storage) {
            other.isNew = false;
        }
        addRecord(slot, std::move(info), true);
    }
    if (read.changed) {
        CK_SLOT_INFO slotInfo{};
        bool present = LibraryCall::run(C_GetSlotInfo, slot, &slotInfo) == CKR_OK &&
                       (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
        onSlotChange(slot, present);
    }
}

void Daemon::addRecord(CK_SLOT_ID slot, Token::Info info, bool isNew) {
    info.isNew = isNew;
    auto [added, inserted] = DataBase::storage().insert_or_assign(slot, std::move(info));
    (void)inserted;
    KxLogger::log(LOG_INFO, "Подключено новое устройство в слоте %lu label:%s model:%s", slot,
                  Common::printable(added->second.label).c_str(),
                  Common::printable(added->second.model).c_str());
}
