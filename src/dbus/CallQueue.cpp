#include "dbus/CallQueue.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr uint32_t kRoot = 0;

template <typename Map, typename Key, typename Value>
void subtract(Map& map, const Key& key, Value amount) {
    auto entry = map.find(key);
    if (entry == map.end()) {
        return;
    }
    entry->second = entry->second > amount ? entry->second - amount : 0;
    if (entry->second == 0) {
        map.erase(entry);
    }
}

template <typename Map, typename Key>
auto valueOf(const Map& map, const Key& key) {
    auto entry = map.find(key);
    return entry == map.end() ? typename Map::mapped_type{} : entry->second;
}

}  // namespace

CallQueue::Sender* CallQueue::find(const std::string& sender) {
    auto entry = senders_.find(sender);
    return entry == senders_.end() ? nullptr : &entry->second;
}

const CallQueue::Sender* CallQueue::find(const std::string& sender) const {
    auto entry = senders_.find(sender);
    return entry == senders_.end() ? nullptr : &entry->second;
}

void CallQueue::touch(Sender& sender) {
    ages_.splice(ages_.end(), ages_, sender.age);
}

bool CallQueue::forgetIdle() {
    for (const std::string& name : ages_) {
        const Sender& sender = senders_.at(name);
        if (sender.calls.empty() && sender.unread == 0 && sender.check == 0 &&
            sender.uidQuestion == 0) {
            gone(std::string(name));
            return true;
        }
    }
    return false;
}

CallQueue::Room CallQueue::room(const std::string& name) {
    Sender* sender = find(name);
    if (sender == nullptr) {
        if (senders_.size() >= kSendersKept && !forgetIdle()) {
            return Room::Full;
        }
        sender = &senders_[name];
        sender->age = ages_.insert(ages_.end(), name);
    } else {
        touch(*sender);
    }
    bool free;
    if (!sender->uid) {
        free = sender->calls.empty() ||
               (sender->calls.size() < kCallsPerSender && awaitingUid_ < kCallsAwaitingUid);
    } else {
        free = sender->calls.size() < kCallsPerSender &&
               (*sender->uid == kRoot || valueOf(queuedOfUser_, *sender->uid) < kCallsPerUser);
    }
    if (free) {
        return Room::Free;
    }
    bool first = !sender->queueRefused;
    sender->queueRefused = true;
    return first ? Room::Full : Room::FullAgain;
}

void CallQueue::takeTurn(const std::string& name, Sender& sender) {
    if (sender.inTurn || sender.calls.empty() || !sender.uid) {
        return;
    }
    sender.inTurn = true;
    (*sender.uid == kRoot ? rootTurns_ : userTurns_).push_back(name);
}

bool CallQueue::add(Call call) {
    Sender& sender = senders_.at(call.sender);
    std::string name = call.sender;
    sender.calls.push_back(std::move(call));
    if (!sender.uid) {
        ++awaitingUid_;
    } else if (*sender.uid != kRoot) {
        ++queuedOfUser_[*sender.uid];
    }
    takeTurn(name, sender);
    return !sender.uid && sender.uidQuestion == 0;
}

void CallQueue::askedUid(const std::string& name, uint32_t serial) {
    if (Sender* sender = find(name)) {
        sender->uidQuestion = serial;
        uidQuestions_[serial] = name;
    }
}

bool CallQueue::uidAnswer(uint32_t serial, std::optional<uint32_t> uid) {
    auto question = uidQuestions_.find(serial);
    if (question == uidQuestions_.end()) {
        return false;
    }
    std::string name = std::move(question->second);
    uidQuestions_.erase(question);
    Sender* sender = find(name);
    if (sender == nullptr || sender->uidQuestion != serial) {
        return true;
    }
    if (!uid) {
        gone(name);
        return true;
    }
    awaitingUid_ -= sender->calls.size();
    // What was counted for the sender so far is now its user's, or not counted for root.
    countUnread(*sender, -static_cast<int64_t>(sender->unread));
    sender->uid = uid;
    sender->uidQuestion = 0;
    if (*uid == kRoot) {
        sender->unread = 0;
    } else {
        countUnread(*sender, static_cast<int64_t>(sender->unread));
    }
    if (*uid != kRoot && !sender->calls.empty()) {
        queuedOfUser_[*uid] += sender->calls.size();
    }
    takeTurn(name, *sender);
    return true;
}

void CallQueue::gone(const std::string& name) {
    auto entry = senders_.find(name);
    if (entry == senders_.end()) {
        return;
    }
    Sender& sender = entry->second;
    if (!sender.uid) {
        awaitingUid_ -= sender.calls.size();
    } else if (*sender.uid != kRoot) {
        subtract(queuedOfUser_, *sender.uid, sender.calls.size());
    }
    countUnread(sender, -static_cast<int64_t>(sender.unread));
    if (sender.uidQuestion != 0) {
        uidQuestions_.erase(sender.uidQuestion);
    }
    endCheck(sender);
    ages_.erase(sender.age);
    senders_.erase(entry);
}

std::optional<uint32_t> CallQueue::uidOf(const std::string& sender) const {
    const Sender* known = find(sender);
    return known != nullptr ? known->uid : std::nullopt;
}

int64_t CallQueue::readyAtMs(const Sender& sender) const {
    if (sender.calls.empty() || sender.calls.front().tooLongBytes == 0 || !sender.uid ||
        *sender.uid == kRoot) {
        return 0;
    }
    auto paid = tooLongPaidAtMs_.find(*sender.uid);
    return paid == tooLongPaidAtMs_.end() ? 0 : paid->second;
}

bool CallQueue::next(Call& call, int64_t nowMs) {
    if (tooLongPaidAtMs_.size() > kSendersKept) {
        for (auto paid = tooLongPaidAtMs_.begin(); paid != tooLongPaidAtMs_.end();) {
            paid = paid->second <= nowMs ? tooLongPaidAtMs_.erase(paid) : std::next(paid);
        }
    }
    for (std::deque<std::string>* turns : {&rootTurns_, &userTurns_}) {
        for (size_t left = turns->size(); left > 0; --left) {
            std::string name = std::move(turns->front());
            turns->pop_front();
            Sender* sender = find(name);
            if (sender == nullptr || sender->calls.empty()) {
                continue;  // gone meanwhile
            }
            if (readyAtMs(*sender) > nowMs) {
                turns->push_back(std::move(name));  // held back: the others go on
                continue;
            }
            call = std::move(sender->calls.front());
            sender->calls.pop_front();
            call.uid = *sender->uid;
            if (call.uid != kRoot) {
                subtract(queuedOfUser_, call.uid, size_t{1});
            }
            if (call.tooLongBytes != 0 && call.uid != kRoot) {
                int64_t& paidAt = tooLongPaidAtMs_[call.uid];
                paidAt = std::max(paidAt, nowMs) +
                         static_cast<int64_t>(call.tooLongBytes * 1000 / kTooLongBytesPerSecond);
            }
            if (sender->calls.empty()) {
                sender->inTurn = false;
            } else {
                turns->push_back(std::move(name));
            }
            return true;
        }
    }
    return false;
}

int64_t CallQueue::readyAtMs() const {
    int64_t ready = INT64_MAX;
    for (const std::string& name : userTurns_) {
        if (const Sender* sender = find(name); sender != nullptr && !sender->calls.empty()) {
            ready = std::min(ready, readyAtMs(*sender));
        }
    }
    return ready;
}

CallQueue::Reply CallQueue::mayReply(const Call& call, uint64_t bytes) {
    Sender* sender = find(call.sender);
    if (sender == nullptr) {
        return Reply::DropAgain;
    }
    if (sender->uid == kRoot) {
        return Reply::Send;
    }
    auto fits = [bytes](uint64_t unread, uint64_t bound) {
        return unread == 0 || unread + bytes <= bound;
    };
    const uint64_t ofUser = sender->uid ? valueOf(unreadOfUser_, *sender->uid) : 0;
    // Once refused, not before it is seen reading: a small reply after a large one refused
    // would otherwise go to a client that reads nothing.
    if (!sender->repliesRefused || sender->unread == 0) {
        if (fits(sender->unread, kUnreadPerConnection) && fits(ofUser, kUnreadPerUser) &&
            unreadOfAllUsers_ + bytes <= kUnreadOfAllUsers) {
            return Reply::Send;
        }
        sender->refusedBytes = bytes;
    }
    sender->repliesRefused = true;
    bool first = !sender->refusalTold;
    sender->refusalTold = true;
    return first ? Reply::Drop : Reply::DropAgain;
}

CallQueue::Reply CallQueue::mayServe(const Call& call) {
    const Sender* sender = find(call.sender);
    return mayReply(call, sender != nullptr ? sender->refusedBytes : 0);
}

void CallQueue::countUnread(const Sender& sender, int64_t bytes) {
    if (bytes == 0 || sender.uid == kRoot) {
        return;
    }
    if (bytes > 0) {
        if (sender.uid) {
            unreadOfUser_[*sender.uid] += static_cast<uint64_t>(bytes);
        }
        unreadOfAllUsers_ += static_cast<uint64_t>(bytes);
        return;
    }
    auto amount = static_cast<uint64_t>(-bytes);
    if (sender.uid) {
        subtract(unreadOfUser_, *sender.uid, amount);
    }
    unreadOfAllUsers_ = unreadOfAllUsers_ > amount ? unreadOfAllUsers_ - amount : 0;
}

void CallQueue::replied(const Call& call, uint64_t bytes) {
    Sender* sender = find(call.sender);
    if (sender == nullptr || sender->uid == kRoot) {
        return;
    }
    sender->unread += bytes;
    sender->repliesRefused = false;
    sender->refusedBytes = 0;
    sender->refusalTold = false;
    countUnread(*sender, static_cast<int64_t>(bytes));
    touch(*sender);
}

CallQueue::Check CallQueue::checkDue(const std::string& name) const {
    const Sender* sender = find(name);
    if (sender == nullptr || sender->unread == 0 || sender->check != 0 || !sender->uid ||
        valueOf(checksOfUser_, *sender->uid) >= kChecksPerUser || checks_.size() >= kChecksInAll) {
        return Check::None;
    }
    if (!busTells_) {
        return Check::Ping;
    }
    // The bus answers at once, whatever the client does: asked only when the answer matters.
    return sender->unread >= kUnreadBeforeAsking || sender->repliesRefused ? Check::AskBus
                                                                           : Check::None;
}

void CallQueue::startCheck(const std::string& name, uint32_t serial, bool ping) {
    Sender* sender = find(name);
    if (sender == nullptr || !sender->uid) {
        return;
    }
    endCheck(*sender);
    sender->check = serial;
    sender->unreadAtCheck = sender->unread;
    checks_[serial] = Pending{name, ping};
    ++checksOfUser_[*sender->uid];
}

void CallQueue::askedBus(const std::string& name, uint32_t serial) {
    startCheck(name, serial, false);
}

void CallQueue::pinged(const std::string& name, uint32_t serial) {
    startCheck(name, serial, true);
}

void CallQueue::endCheck(Sender& sender) {
    if (sender.check == 0) {
        return;
    }
    checks_.erase(sender.check);
    subtract(checksOfUser_, *sender.uid, size_t{1});
    sender.check = 0;
}

bool CallQueue::waiting(uint32_t serial) const {
    return checks_.count(serial) != 0 || uidQuestions_.count(serial) != 0;
}

std::optional<std::string> CallQueue::askedAbout(uint32_t serial) const {
    auto check = checks_.find(serial);
    if (check == checks_.end() || check->second.ping) {
        return std::nullopt;
    }
    return check->second.sender;
}

CallQueue::Sender* CallQueue::answered(uint32_t serial, bool ping, std::string& name) {
    auto check = checks_.find(serial);
    if (check == checks_.end() || check->second.ping != ping) {
        return nullptr;
    }
    name = std::move(check->second.sender);
    checks_.erase(check);
    Sender* sender = find(name);
    if (sender == nullptr || sender->check != serial) {
        return nullptr;
    }
    subtract(checksOfUser_, *sender->uid, size_t{1});
    sender->check = 0;
    return sender;
}

void CallQueue::confirm(Sender& sender, uint64_t held) {
    uint64_t read = sender.unreadAtCheck > held ? sender.unreadAtCheck - held : 0;
    if (read == 0) {
        return;
    }
    sender.repliesRefused = false;
    sender.refusedBytes = 0;
    sender.unread -= read;
    countUnread(sender, -static_cast<int64_t>(read));
}

void CallQueue::busAnswer(uint32_t serial, std::optional<uint64_t> held) {
    std::string name;
    Sender* sender = answered(serial, false, name);
    if (sender != nullptr && held) {
        // What the bus holds beyond the daemon's replies is others' messages.
        confirm(*sender, *held);
    }
}

bool CallQueue::busWillNotTell(uint32_t serial) {
    std::string name;
    answered(serial, false, name);
    bool news = !name.empty() && busTells_;
    busTells_ = busTells_ && name.empty();
    return news;
}

bool CallQueue::pingAnswer(uint32_t serial, const std::string& from) {
    std::string name;
    Sender* sender = answered(serial, true, name);
    if (sender != nullptr && from == name) {
        confirm(*sender, 0);
    }
    return !name.empty();
}
