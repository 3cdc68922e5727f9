// Reading one token through the vendor library into a Token::Info.

#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "base/Common.h"
#include "log/KxLogger.h"
#include "token/LibraryCall.h"
#include "token/Token.h"

namespace {

// Closes the session whichever way the reading ends; the close result does not matter.
class SessionCloser {
public:
    explicit SessionCloser(CK_SESSION_HANDLE session) : session_(session) {}
    ~SessionCloser() { LibraryCall::run(C_CloseSession, session_); }
    SessionCloser(const SessionCloser&) = delete;
    SessionCloser& operator=(const SessionCloser&) = delete;

private:
    CK_SESSION_HANDLE session_;
};

// Error formats of one object search, one per step.
struct SearchMessages {
    const char* init;
    const char* find;
    const char* final;
};

// One C_FindObjects call into an array of maxCount handles: a token holding more objects is
// read only that far. False (and a log line) when any step fails.
bool findObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG searchSize,
                 CK_ULONG maxCount, const SearchMessages& messages,
                 std::vector<CK_OBJECT_HANDLE>& objects) {
    CK_RV rv = LibraryCall::run(C_FindObjectsInit, session, search, searchSize);
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, messages.init, static_cast<int>(rv));
        return false;
    }
    objects.assign(maxCount, CK_INVALID_HANDLE);
    CK_ULONG found = 0;
    rv = LibraryCall::run(C_FindObjects, session, objects.data(), maxCount, &found);
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, messages.find, static_cast<int>(rv));
        // End the search anyway: an open search would refuse the session's next one and lose
        // the profiles along with the certificates.
        LibraryCall::run(C_FindObjectsFinal, session);
        return false;
    }
    objects.resize(std::min(found, maxCount));
    rv = LibraryCall::run(C_FindObjectsFinal, session);
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, messages.final, static_cast<int>(rv));
        return false;
    }
    return true;
}

std::string fieldText(const CK_UTF8CHAR* field, size_t size) {
    return Common::trim(std::string(reinterpret_cast<const char*>(field), size));
}

const std::string& orIfEmpty(const std::string& text, const std::string& fallback) {
    return text.empty() ? fallback : text;
}

// The fields of Token::tokenHeader from the token information read; KX_GetISD's answer.
CK_RV readHeader(CK_SLOT_ID slot, const CK_TOKEN_INFO& tokenInfo, Token::Info& info) {
    info.applet = Common::trim(Token::detectTokenApplet(tokenInfo));
    info.label = fieldText(tokenInfo.label, sizeof(tokenInfo.label));
    info.serialNumber = fieldText(tokenInfo.serialNumber, sizeof(tokenInfo.serialNumber));
    unsigned char isd[KX_ISD_SIZE];
    std::memset(isd, 0, sizeof(isd));
    CK_RV rv = LibraryCall::run(KX_GetISD, slot, isd);
    info.isd = fieldText(isd, KX_ISD_TEXT_SIZE);
    info.model = Token::detectTokenModelName(info.isd);
    return rv;
}

// Logs a certificate read; a certificate outside a key container cannot be used to log on,
// which the user is told in `message`.
void noteCertificate(const Token::Cert& cert, std::string& message) {
    const Certificate& certificate = cert.certificate;
    if (cert.id.empty()) {
        message = "На смарт-карте присутствует сертификат " + certificate.subject() +
                  " который, находиться в не контейнера! Чтение данных со смарт-карты "
                  "приостановлено, пожалуйста, поместите данный сертификат в контейнер.";
    }
    // Every field comes from the token or the certificate, so anyone can choose it.
    const auto field = [](const std::string& text) { return Common::printable(text); };
    std::string altName =
        certificate.altName().empty() ? "" : "(" + field(certificate.altName()) + ")";
    KxLogger::log(
        LOG_DEBUG, "\tНайден сертификат: id:%s label:%s subject: %s@%s%s issuer: %s@%s",
        field(cert.id).c_str(), field(cert.label).c_str(), field(certificate.subject()).c_str(),
        field(orIfEmpty(certificate.subjectDomainComponent(), certificate.subjectOrganization()))
            .c_str(),
        altName.c_str(), field(certificate.issuer()).c_str(),
        field(orIfEmpty(certificate.issuerDomainComponent(), certificate.issuerOrganization()))
            .c_str());
}

// The token's information and a session on it; false, after logging why, when either cannot
// be had.
bool openSession(CK_SLOT_ID slot, CK_TOKEN_INFO& tokenInfo, CK_SESSION_HANDLE& session) {
    std::memset(&tokenInfo, 0, sizeof(tokenInfo));
    CK_RV rv = LibraryCall::run(C_GetTokenInfo, slot, &tokenInfo);
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, "Не удалось получить информацию о токене! Код возврата = %d",
                      static_cast<int>(rv));
        return false;
    }
    CK_SLOT_INFO slotInfo;
    std::memset(&slotInfo, 0, sizeof(slotInfo));
    rv = LibraryCall::run(C_GetSlotInfo, slot, &slotInfo);
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, "Не удалось получить информацию о слоте! Код возврата = %d",
                      static_cast<int>(rv));
        return false;
    }
    rv = LibraryCall::run(C_OpenSession, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                          nullptr, &session);
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, "tokenInfo: Ошибка C_OpenSession. Код возврата = %d",
                      static_cast<int>(rv));
        return false;
    }
    return true;
}

}  // namespace

bool Token::initialize(CK_RV* failure) {
    CK_RV lockingRefused = CKR_OK;
    CK_RV rv = LibraryCall::initialize(lockingRefused);
    if (rv == CKR_OK && LibraryCall::serialised()) {
        KxLogger::log(LOG_WARNING,
                      "Единая библиотека не приняла CKF_OS_LOCKING_OK (код возврата C_Initialize "
                      "= %d): вызовы к ней идут по одному, медленный токен задерживает события "
                      "слотов",
                      static_cast<int>(lockingRefused));
    }
    if (failure != nullptr) {
        *failure = rv;
    } else if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, "Ошибка C_Initialize. Код возврата = %d", static_cast<int>(rv));
    }
    return rv == CKR_OK;
}

bool Token::finalize() {
    std::optional<CK_RV> rv = LibraryCall::finalize();
    if (!rv) {
        KxLogger::log(LOG_ERR,
                      "C_Finalize не вызвана: вызов единой библиотеки в другом потоке не "
                      "завершился за %d с",
                      static_cast<int>(LibraryCall::kFinalizeWait.count()));
        return false;
    }
    if (*rv != CKR_OK) {
        KxLogger::log(LOG_ERR, "Ошибка C_Finalize. Код возврата = %d", static_cast<int>(*rv));
        return false;
    }
    return true;
}

bool Token::tokenHeader(CK_SLOT_ID slot, Info& info) {
    CK_TOKEN_INFO tokenInfo;
    std::memset(&tokenInfo, 0, sizeof(tokenInfo));
    if (LibraryCall::run(C_GetTokenInfo, slot, &tokenInfo) != CKR_OK) {
        return false;
    }
    info.slotId = slot;
    readHeader(slot, tokenInfo, info);
    return true;
}

Token::Info Token::tokenInfo(CK_SLOT_ID slot) {
    return tokenInfo(slot, ReadBound());
}

Token::Info Token::tokenInfo(CK_SLOT_ID slot, const ReadBound& bound) {
    Info info;
    info.incomplete = true;  // until every part has been read
    CK_TOKEN_INFO tokenInfo;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (!openSession(slot, tokenInfo, session)) {
        return info;
    }
    SessionCloser closer(session);

    info.slotId = slot;
    info.isNew = true;
    CK_RV rv = readHeader(slot, tokenInfo, info);
    if (rv != CKR_OK) {
        // Without the ISD the model falls back to the maker's generic names.
        KxLogger::log(LOG_WARNING, "tokenInfo: Ошибка KX_GetISD. Код возврата = %d",
                      static_cast<int>(rv));
    }
    if (info.label.empty()) {
        info.message = "Метка у смарт-карты " + info.model +
                       " пуста!Чтение данных со смарт-карты приостановлено, пожалуйста, "
                       "установите метку!";
    }
    if (!bound.goOn(info)) {
        return info;
    }
    // Each part as far as it can be read: a failed search of one does not keep the other out.
    const bool certsWhole = readTokenCerts(session, info, bound);
    const bool profilesWhole = readTokenProfiles(session, info, bound);
    info.incomplete = !certsWhole || !profilesWhole;
    return info;
}

bool Token::ReadBound::goOn(const Info& read) const {
    return std::chrono::steady_clock::now() < deadline &&
           (expected == nullptr || mayBe(*expected, read));
}

bool Token::mayBe(const Info& whole, const Info& partial) {
    if (std::tie(partial.label, partial.serialNumber, partial.applet, partial.isd) !=
            std::tie(whole.label, whole.serialNumber, whole.applet, whole.isd) ||
        partial.certs.size() > whole.certs.size() ||
        partial.profiles.size() > whole.profiles.size()) {
        return false;
    }
    const auto held = [&whole](const Cert& cert) {
        return std::any_of(whole.certs.begin(), whole.certs.end(), [&cert](const Cert& other) {
            return other.certificate == cert.certificate;
        });
    };
    const auto listed = [&whole](const Profile& profile) {
        return std::any_of(whole.profiles.begin(), whole.profiles.end(),
                           [&profile](const Profile& other) {
                               return other.userName == profile.userName &&
                                      other.domain == profile.domain;
                           });
    };
    return std::all_of(partial.certs.begin(), partial.certs.end(), held) &&
           std::all_of(partial.profiles.begin(), partial.profiles.end(), listed);
}

bool Token::readTokenCerts(CK_SESSION_HANDLE session, Info& info, const ReadBound& bound) {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &objectClass, sizeof(objectClass)},
        {CKA_CERTIFICATE_TYPE, &certificateType, sizeof(certificateType)},
        {CKA_TOKEN, &onToken, sizeof(onToken)},
    };
    static const SearchMessages kMessages = {
        "tokenCerts: Ошибка поиска сертификатов (C_FindObjectsInit). Код возврата = %d",
        "tokenCerts: Ошибка поиска сертификатов (C_FindObjects). Код возврата = %d",
        "tokenCerts: Ошибка поиска сертификатов (C_FindObjectsFinal). Код возврата = %d",
    };
    std::vector<CK_OBJECT_HANDLE> objects;
    if (!findObjects(session, search, 3, kMaxCerts, kMessages, objects)) {
        return false;
    }
    bool whole = true;
    for (CK_OBJECT_HANDLE object : objects) {
        if (!bound.goOn(info)) {
            return false;
        }
        std::vector<std::string> values =
            tokenObjectAttributes(session, object, {CKA_ID, CKA_LABEL, CKA_VALUE});
        if (values.size() != 3) {
            whole = false;  // logged; the other certificates are still read
            continue;
        }
        Cert cert{values[0], values[1],
                  Certificate(std::vector<unsigned char>(values[2].begin(), values[2].end()),
                              Certificate::Format::Der)};
        noteCertificate(cert, info.message);
        info.certs.push_back(std::move(cert));
    }
    KxLogger::log(LOG_INFO, "Прочитано %d сертификатов с токена [Успех]",
                  static_cast<int>(info.certs.size()));
    return whole && bound.goOn(info);
}

bool Token::readTokenProfiles(CK_SESSION_HANDLE session, Info& info, const ReadBound& bound) {
    CK_OBJECT_CLASS objectClass = kProfileClass;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &objectClass, sizeof(objectClass)},
        {CKA_TOKEN, &onToken, sizeof(onToken)},
    };
    static const SearchMessages kMessages = {
        "tokenProfiles: Ошибка поиска профилей (C_FindObjectsInit). Код возврата = %d",
        "tokenProfiles: Ошибка поиска профилей (C_FindObjects). Код возврата = %d",
        "tokenProfiles: Ошибка поиска профилей (C_FindObjectsFinal). Код возврата = %d",
    };
    std::vector<CK_OBJECT_HANDLE> objects;
    if (!findObjects(session, search, 2, kMaxProfiles, kMessages, objects)) {
        return false;
    }
    bool whole = true;
    for (CK_OBJECT_HANDLE object : objects) {
        if (!bound.goOn(info)) {
            return false;
        }
        std::vector<std::string> values =
            tokenObjectAttributes(session, object, {kProfileUserName, kProfileDomain});
        if (values.size() != 2) {
            whole = false;
            continue;
        }
        if (values[0].empty() || values[1].empty()) {
            continue;  // no profile anyone could log on with
        }
        KxLogger::log(LOG_DEBUG, "\tНайден профиль %s@%s", Common::printable(values[0]).c_str(),
                      Common::printable(values[1]).c_str());
        info.profiles.push_back(Profile{values[0], values[1]});
    }
    KxLogger::log(LOG_INFO, "Прочитано %d профилей с токена [Успех]",
                  static_cast<int>(info.profiles.size()));
    return whole && bound.goOn(info);
}

std::vector<std::string> Token::tokenObjectAttributes(CK_SESSION_HANDLE session,
                                                      CK_OBJECT_HANDLE object,
                                                      const std::vector<CK_ATTRIBUTE_TYPE>& types) {
    static const char kError[] = "Ошибка поиска атрибута (C_GetAttributeValue). Код возврата = %d";
    std::vector<std::string> values;
    if (session == CK_INVALID_HANDLE || types.empty()) {
        return values;
    }
    // First call: lengths only.
    std::vector<CK_ATTRIBUTE> attributes(types.size());
    for (size_t i = 0; i < types.size(); ++i) {
        attributes[i] = CK_ATTRIBUTE{types[i], nullptr, 0};
    }
    CK_RV rv = LibraryCall::run(C_GetAttributeValue, session, object, attributes.data(),
                                attributes.size());
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, kError, static_cast<int>(rv));
        return values;
    }
    // Second call: the values. No length a library reports may bring the daemon down: an
    // unavailable one is what the standard pairs with an invalid attribute, and one that
    // cannot be allocated counts as a failed read.
    std::vector<std::vector<unsigned char>> buffers(types.size());
    for (size_t i = 0; i < attributes.size(); ++i) {
        if (attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            KxLogger::log(LOG_ERR, kError, static_cast<int>(CKR_ATTRIBUTE_TYPE_INVALID));
            return values;
        }
        try {
            buffers[i].resize(attributes[i].ulValueLen);
        } catch (const std::exception&) {
            KxLogger::log(LOG_ERR, kError, static_cast<int>(CKR_HOST_MEMORY));
            return values;
        }
        attributes[i].pValue = buffers[i].empty() ? nullptr : buffers[i].data();
    }
    rv = LibraryCall::run(C_GetAttributeValue, session, object, attributes.data(),
                          attributes.size());
    if (rv != CKR_OK) {
        KxLogger::log(LOG_ERR, kError, static_cast<int>(rv));
        return values;
    }
    for (size_t i = 0; i < attributes.size(); ++i) {
        size_t length = std::min<size_t>(attributes[i].ulValueLen, buffers[i].size());
        values.emplace_back(reinterpret_cast<const char*>(buffers[i].data()), length);
    }
    return values;
}
