#include "PinCommands.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "PinPrompt.h"
#include "TerminalText.h"
#include "TextTable.h"
#include "base/Common.h"
#include "token/Certificate.h"
#include "token/Token.h"

namespace {

// The token library for the life of one command.
class Library {
public:
    Library() : started_(Token::initialize()) { Certificate::initialize(); }
    ~Library() {
        if (started_) {
            Token::finalize();
        }
        Certificate::finalize();
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool started() const { return started_; }

private:
    bool started_;
};

std::vector<CK_SLOT_ID> slotsWithToken() {
    CK_ULONG count = 0;
    if (C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) {
        return {};
    }
    std::vector<CK_SLOT_ID> slots(count);
    if (count > 0 && C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) {
        return {};
    }
    slots.resize(std::min<size_t>(count, slots.size()));
    return slots;
}

// The records of the inserted tokens (only the one in `slot` when given); false and a message
// when the library did not start or there is no token to look at.
bool readTokens(const Library& library, std::optional<CK_SLOT_ID> slot,
                std::vector<Token::Info>& tokens) {
    if (!library.started()) {
        std::cerr << "kxsentrixctl: the token library cannot be started (see the system log)\n";
        return false;
    }
    for (CK_SLOT_ID present : slotsWithToken()) {
        if (!slot || *slot == present) {
            Token::Info info = Token::tokenInfo(present);
            if (info.slotId == present) {  // a default record: the token could not be read
                tokens.push_back(std::move(info));
            } else {
                std::cerr << "kxsentrixctl: the token in slot " << present
                          << " cannot be read (see the system log)\n";
            }
        }
    }
    if (slot && tokens.empty()) {
        std::cerr << "kxsentrixctl: no readable token in slot " << *slot << "\n";
        return false;
    }
    return true;
}

const char* stateName(Token::PinState state) {
    switch (state) {
        case Token::PinState::Ok:
            return "ok";
        case Token::PinState::Error:
            return "error";
        case Token::PinState::Locked:
            return "locked";
        case Token::PinState::Expired:
            return "expired";
        case Token::PinState::ChangeSoon:
            return "change soon";
    }
    return "";
}

// "left/limit"; a limit of 0 means the applet does not count (or tell) retries.
std::string tries(std::pair<uint64_t, uint64_t> counters) {
    if (counters.second == 0) {
        return "-";
    }
    return std::to_string(counters.first) + "/" + std::to_string(counters.second);
}

nlohmann::ordered_json triesJson(std::pair<uint64_t, uint64_t> counters) {
    return {{"left", counters.first}, {"limit", counters.second}};
}

}  // namespace

ExitStatus PinCommands::status(std::optional<CK_SLOT_ID> slot, bool json) {
    Library library;
    std::vector<Token::Info> tokens;
    if (!readTokens(library, slot, tokens)) {
        return kFailed;
    }
    TextTable table({"SLOT", "LABEL", "APPLET", "USER TRIES", "ADMIN TRIES", "PIN", "MESSAGE"});
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Token::Info& token : tokens) {
        auto user = Token::getPinCounters(token, false);
        auto admin = Token::getPinCounters(token, true);
        Token::PinResult expiry = Token::pinExpired(token);
        table.addRow({std::to_string(token.slotId), token.label, token.applet, tries(user),
                      tries(admin), stateName(expiry.first), expiry.second});
        list.push_back({{"slotId", token.slotId},
                        {"label", token.label},
                        {"applet", token.applet},
                        {"userPin", triesJson(user)},
                        {"adminPin", triesJson(admin)},
                        {"state", stateName(expiry.first)},
                        {"message", expiry.second}});
    }
    if (json) {
        std::cout << TerminalText::json(list) << "\n";
    } else {
        std::cout << table.render();
    }
    return kDone;
}

ExitStatus PinCommands::check(CK_SLOT_ID slot, bool admin) {
    Library library;
    std::vector<Token::Info> tokens;
    if (!readTokens(library, slot, tokens)) {
        return kFailed;
    }
    const Token::Info& token = tokens.front();
    std::string problem;
    std::optional<std::string> pin = PinPrompt::ask(
        (admin ? "Administrator PIN of " : "PIN of ") + Common::printable(token.label) + ": ",
        problem);
    if (!pin) {
        std::cerr << "kxsentrixctl: " << problem << "\n";
        return kUsage;
    }
    Token::PinResult result = Token::checkPin(token, *pin, admin);
    explicit_bzero(pin->data(), pin->size());
    bool accepted =
        result.first == Token::PinState::Ok || result.first == Token::PinState::ChangeSoon;
    if (accepted) {
        std::cout << "PIN accepted" << (result.second.empty() ? "" : ": " + result.second) << "\n";
    } else {
        std::cerr << "kxsentrixctl: PIN not accepted (" << stateName(result.first)
                  << "): " << result.second << "\n";
    }
    return accepted ? kDone : kFailed;
}
