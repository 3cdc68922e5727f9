#include "dbus/CallQueue.h"

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
        if (sender.calls.empty() && sender.unread == 0 && sender.ping == 0 &&
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
        free = sender->calls.empty();
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
    if (sender.uid && *sender.uid != kRoot) {
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
    sender->uid = uid;
    sender->uidQuestion = 0;
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
    if (sender.uid && *sender.uid != kRoot) {
        subtract(queuedOfUser_, *sender.uid, sender.calls.size());
    }
    countUnread(sender, -static_cast<int64_t>(sender.unread));
    if (sender.uidQuestion != 0) {
        uidQuestions_.erase(sender.uidQuestion);
    }
    endPing(sender);
    ages_.erase(sender.age);
    senders_.erase(entry);
}

std::optional<uint32_t> CallQueue::uidOf(const std::string& sender) const {
    const Sender* known = find(sender);
    return known != nullptr ? known->uid : std::nullopt;
}

bool CallQueue::next(Call& call) {
    for (std::deque<std::string>* turns : {&rootTurns_, &userTurns_}) {
        while (!turns->empty()) {
            std::string name = std::move(turns->front());
            turns->pop_front();
            Sender* sender = find(name);
            if (sender == nullptr || sender->calls.empty()) {
                continue;  // gone meanwhile
            }
            call = std::move(sender->calls.front());
            sender->calls.pop_front();
            call.uid = *sender->uid;
            if (call.uid != kRoot) {
                subtract(queuedOfUser_, call.uid, size_t{1});
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

CallQueue::Reply CallQueue::mayReply(const Call& call, uint64_t bytes) {
    Sender* sender = find(call.sender);
    if (sender == nullptr) {
        return Reply::DropAgain;
    }
    if (call.uid == kRoot) {
        return Reply::Send;
    }
    if (sender->repliesRefused && sender->unread > 0) {
        return Reply::DropAgain;  // until it shows it has read what it has
    }
    auto fits = [bytes](uint64_t unread, uint64_t bound) {
        return unread == 0 || unread + bytes <= bound;
    };
    if (fits(sender->unread, kUnreadPerConnection) &&
        fits(valueOf(unreadOfUser_, call.uid), kUnreadPerUser) &&
        unreadOfAllUsers_ + bytes <= kUnreadOfAllUsers) {
        return Reply::Send;
    }
    bool first = !sender->repliesRefused;
    sender->repliesRefused = true;
    sender->refusedBytes = bytes;
    return first ? Reply::Drop : Reply::DropAgain;
}

CallQueue::Reply CallQueue::mayServe(const Call& call) {
    const Sender* sender = find(call.sender);
    return mayReply(call, sender != nullptr ? sender->refusedBytes : 0);
}

void CallQueue::countUnread(const Sender& sender, int64_t bytes) {
    if (bytes == 0 || !sender.uid) {
        return;
    }
    if (bytes > 0) {
        unreadOfUser_[*sender.uid] += static_cast<uint64_t>(bytes);
        unreadOfAllUsers_ += static_cast<uint64_t>(bytes);
        return;
    }
    auto amount = static_cast<uint64_t>(-bytes);
    subtract(unreadOfUser_, *sender.uid, amount);
    unreadOfAllUsers_ = unreadOfAllUsers_ > amount ? unreadOfAllUsers_ - amount : 0;
}

void CallQueue::replied(const Call& call, uint64_t bytes) {
    Sender* sender = find(call.sender);
    if (sender == nullptr || call.uid == kRoot) {
        return;
    }
    sender->unread += bytes;
    sender->repliesRefused = false;
    sender->refusedBytes = 0;
    countUnread(*sender, static_cast<int64_t>(bytes));
    touch(*sender);
}

bool CallQueue::wantsPing(const std::string& name) const {
    const Sender* sender = find(name);
    return sender != nullptr && sender->unread > 0 && sender->ping == 0 && sender->uid &&
           valueOf(pingsOfUser_, *sender->uid) < kPingsPerUser && pings_.size() < kPingsInAll;
}

void CallQueue::pinged(const std::string& name, uint32_t serial) {
    Sender* sender = find(name);
    if (sender == nullptr || !sender->uid) {
        return;
    }
    endPing(*sender);
    sender->ping = serial;
    sender->unreadAtPing = sender->unread;
    pings_[serial] = name;
    ++pingsOfUser_[*sender->uid];
}

void CallQueue::endPing(Sender& sender) {
    if (sender.ping == 0) {
        return;
    }
    pings_.erase(sender.ping);
    subtract(pingsOfUser_, *sender.uid, size_t{1});
    sender.ping = 0;
}

bool CallQueue::waiting(uint32_t serial) const {
    return pings_.count(serial) != 0 || uidQuestions_.count(serial) != 0;
}

bool CallQueue::pingAnswer(uint32_t serial, const std::string& from) {
    auto ping = pings_.find(serial);
    if (ping == pings_.end()) {
        return false;
    }
    std::string name = ping->second;
    Sender* sender = find(name);
    if (sender == nullptr || sender->ping != serial) {
        pings_.erase(serial);
        return true;
    }
    endPing(*sender);
    if (from == name) {
        sender->repliesRefused = false;
        sender->refusedBytes = 0;
        sender->unread -= sender->unreadAtPing;
        countUnread(*sender, -static_cast<int64_t>(sender->unreadAtPing));
    }
    return true;
}
