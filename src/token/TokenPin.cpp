// PIN checks through the vendor library: login, retry counters and the PIN lifetime policy of
// Quill and Forte applets.

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "log/KxLogger.h"
#include "base/UntrustedFile.h"
#include "token/LibraryCall.h"
#include "token/Token.h"
#include "token/TokenPinExpiry.h"

namespace {

constexpr int kDefaultWarningDays = 14;
// The greeter's file is a few lines; the bound only keeps a replaced file from costing much.
constexpr size_t kGreeterConfigLimit = 64 * 1024;

const char kNoLifetime[] = "На токене не установлено время жизни ПИН-кода!";

std::string readErrorMessage(CK_RV rv) {
    return "Ошибка при чтении смарт-карты. Код возврата:" + std::to_string(rv) + " " +
           Token::returnCodeText(rv);
}

Token::PinResult readError(CK_RV rv) {
    return {Token::PinState::Error, readErrorMessage(rv)};
}

uint64_t littleEndian64(const unsigned char* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | at[i];
    }
    return value;
}

// A session for one login attempt: logged out (only when this login succeeded, so another
// session's login of the same token stays) and closed whichever way the check ends.
class LoginSession {
public:
    explicit LoginSession(CK_SLOT_ID slot) {
        opened_ = LibraryCall::run(C_OpenSession, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                   nullptr, nullptr, &session_);
    }
    ~LoginSession() {
        if (loggedIn_) {
            LibraryCall::run(C_Logout, session_);
        }
        if (opened_ == CKR_OK) {
            LibraryCall::run(C_CloseSession, session_);
        }
    }
    LoginSession(const LoginSession&) = delete;
    LoginSession& operator=(const LoginSession&) = delete;

    CK_RV opened() const { return opened_; }

    CK_RV login(CK_USER_TYPE user, const std::string& pin) {
        std::string bytes = pin;  // C_Login takes a non-const pointer
        CK_RV rv =
            LibraryCall::run(C_Login, session_, user, reinterpret_cast<CK_UTF8CHAR*>(bytes.data()),
                             static_cast<CK_ULONG>(bytes.size()));
        loggedIn_ = rv == CKR_OK;
        return rv;
    }

private:
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_RV opened_ = CKR_GENERAL_ERROR;
    bool loggedIn_ = false;
};

}  // namespace

Token::PinResult Token::checkPin(const Info& info, const std::string& pin, bool admin) {
    if (pin.empty()) {
        return {PinState::Error, returnCodeText(CKR_PIN_LEN_RANGE)};
    }
    // The lifetime the token keeps is the user PIN's: an administrator's check ignores it.
    PinResult expiry = admin ? PinResult{PinState::Ok, ""} : pinExpired(info);
    if (expiry.first == PinState::Expired || expiry.first == PinState::Error) {
        return expiry;
    }
    LoginSession session(info.slotId);
    if (session.opened() != CKR_OK) {
        return readError(session.opened());
    }
    CK_RV rv = session.login(admin ? CKU_SO : CKU_USER, pin);
    if (rv == CKR_OK) {
        KxLogger::log(LOG_INFO, "Проверка PIN-кода прошла успешно!");
        return expiry;
    }
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID) {
        auto [left, limit] = getPinCounters(info, admin);
        // The library's counter word is 64 bits wide; a garbled one must not print as negative.
        KxLogger::log(LOG_INFO, "Проверка PIN-кода %d",
                      static_cast<int>(std::min<uint64_t>(left, INT_MAX)));
        std::string message = returnCodeText(rv);
        if (limit != 0) {
            message += "\nОсталось попыток: " + std::to_string(left);
        }
        return {PinState::Error, message};
    }
    if (rv == CKR_PIN_LOCKED) {
        return {PinState::Locked, returnCodeText(rv)};
    }
    return {PinState::Error, returnCodeText(rv)};
}

std::pair<uint64_t, uint64_t> Token::getPinCounters(const Info& info, bool admin) {
    // The records are zeroed, so a failed read gives no limit and no count; the results are not
    // looked at.
    const CK_ULONG userType = admin ? KX_USER_TYPE_SO : KX_USER_TYPE_USER;
    if (info.applet == Quill) {
        uint64_t words[KX_PKI_COUNTER_WORDS] = {};
        LibraryCall::run(KX_PKI_ReadPinCounters, info.slotId, userType, words);
        return {words[0], words[1]};
    }
    if (info.applet == Forte) {
        uint64_t words[KX_PJ_COUNTER_WORDS] = {};
        LibraryCall::run(KX_PJ_GetPinCounters, info.slotId, userType, words);
        return {words[1], words[0]};
    }
    if (info.applet == Nacre || info.applet == Nacre2) {
        // One limit for both: the record has no administrator's limit of its own.
        uint64_t words[KX_CT1_COUNTER_WORDS] = {};
        LibraryCall::run(KX_CT1_ReadPinCounters, info.slotId, words);
        return {admin ? words[2] : words[1], words[0]};
    }
    if (info.applet == DataStore) {
        uint64_t words[KX_TL_COUNTER_WORDS] = {};
        LibraryCall::run(KX_TL_ReadPinCounters, info.slotId, words);
        return admin ? std::make_pair(words[3], words[2]) : std::make_pair(words[1], words[0]);
    }
    return {0, 0};
}

Token::PinResult Token::pinExpired(const Info& info) {
    if (info.applet == Quill) {
        return pinExpiredQuill(info);
    }
    if (info.applet == Forte) {
        return pinExpiredForte(info);
    }
    return {PinState::Ok, ""};
}

Token::PinResult Token::pinExpiredForte(const Info& info) {
    unsigned char policy[KX_PJ_PIN_POLICY_SIZE] = {};
    CK_RV rv = LibraryCall::run(KX_PJ_GetUserPinPolicy, info.slotId, policy);
    if (rv != CKR_OK) {
        return readError(rv);
    }
    uint64_t maxAge = littleEndian64(policy + KX_PJ_PIN_POLICY_MAX_AGE_OFFSET);
    if (maxAge == 0) {
        KxLogger::log(LOG_INFO, kNoLifetime);
        return {PinState::Ok, ""};
    }
    unsigned char capabilities[KX_PJ_CAPABILITIES_SIZE] = {};
    rv = LibraryCall::run(KX_PJ_GetCapabilities, info.slotId, capabilities);
    if (rv != CKR_OK) {
        return readError(rv);
    }
    return TokenPinExpiry::forte(
        maxAge, littleEndian64(policy + KX_PJ_PIN_POLICY_WARNING_DAYS_OFFSET),
        littleEndian64(capabilities + KX_PJ_CAPABILITIES_PIN_AGE_OFFSET), std::time(nullptr));
}

Token::PinResult Token::pinExpiredQuill(const Info& info) {
    // Zeroed although the library fills it: a short answer must not leave stack bytes behind.
    unsigned char record[KX_PKI_COMPLEXITY_SIZE] = {};
    CK_RV rv = LibraryCall::run(KX_PKI_GetComplexity, info.slotId, record);
    if (rv != CKR_OK) {
        return readError(rv);
    }
    uint64_t lifetime = littleEndian64(record + KX_PKI_COMPLEXITY_LIFETIME_DAYS_OFFSET);
    if (lifetime == 0) {
        KxLogger::log(LOG_INFO, kNoLifetime);
        return {PinState::Ok, ""};
    }
    std::string changeDate(
        reinterpret_cast<const char*>(record) + KX_PKI_COMPLEXITY_CHANGE_DATE_OFFSET,
        KX_PKI_COMPLEXITY_CHANGE_DATE_SIZE);
    if (TokenPinExpiry::impossibleDate(changeDate)) {
        // Only digits here, so the date prints as it is.
        KxLogger::log(LOG_WARNING,
                      "Недопустимая дата смены PIN-кода на токене: %s, время жизни PIN-кода не "
                      "проверяется!",
                      changeDate.c_str());
    }
    return TokenPinExpiry::quill(lifetime, changeDate, changePinNotification(), std::time(nullptr));
}

int Token::changePinNotification() {
    std::string text;
    int error = 0;
    // One byte over the bound tells a file at the bound from a larger one, which is not read
    // at all: cut there, its last line would be read with a part of its number.
    if (UntrustedFile::read(greeterConfigPath, text, kGreeterConfigLimit + 1, &error) &&
        text.size() > kGreeterConfigLimit) {
        error = EFBIG;
    }
    if (error != 0) {
        // A missing file is the usual case: the greeter is not installed.
        if (error != ENOENT) {
            KxLogger::log(LOG_WARNING, "Ошибка чтения конфигурационного файла %s, error: %s",
                          greeterConfigPath, strerror(error));
        }
        return kDefaultWarningDays;
    }
    int days = kDefaultWarningDays;
    TokenPinExpiry::warningDaysFromGreeterConfig(text, days);
    return days;
}
