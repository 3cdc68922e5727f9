// What a token holds and how it is read: token info, object searches, attributes, login with
// its retry counters, and the maker's records.

#include "SimClient.h"

#include <cstring>

namespace simtest {
namespace {

const std::string kBorisDer = readFile(KXSIM_TEST_DATA "/boris.der");

std::string fullToken() {
    return "label = Ivanov token\n"
           "model = Korvex Quill\n"
           "serial = 0042\n"
           "manufacturer = Korvex Labs\n"
           "isd = KX123 pilot\n"
           "hardware = 3.1\n"
           "firmware = 4.2\n"
           "user-pin = 1234\n"
           "so-pin = 87654321\n"
           "user-tries = 3\n"
           "so-tries = 5\n"
           "so-tries-left = 4\n"
           "profile = ivanov@example.org\n"
           "profile = ivanov@\n"
           "\n"
           "[certificate]\n"
           "id = 0a:0b\n"
           "label = Ivanov signing\n"
           "file = " KXSIM_TEST_DATA "/boris.der\n"
           "\n"
           "[certificate]\n"
           "label = Outside a container\n"
           "id =\n"
           "file = " KXSIM_TEST_DATA "/alice.pem\n"
           "\n"
           "[certificate]\n"
           "label = No value\n"
           "id = 01\n";
}

class TokenObjects : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        insert(5, fullToken());
        insert(6, "label = other\nprofile = petrov@example.org\n");
        initialize();
        session = openSession(5);
    }

    CK_SESSION_HANDLE session = 0;
};

TEST_F(TokenObjects, TokenAndSlotInfoComeFromTheEntry) {
    CK_TOKEN_INFO info{};
    ASSERT_EQ(C_GetTokenInfo(5, &info), CKR_OK);
    EXPECT_EQ(field(info.label, 32), padded("Ivanov token", 32));
    EXPECT_EQ(field(info.model, 16), padded("Korvex Quill", 16));
    EXPECT_EQ(field(info.serialNumber, 16), padded("0042", 16));
    EXPECT_EQ(field(info.manufacturerID, 32), padded("Korvex Labs", 32));
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_SO_PIN_COUNT_LOW) << "4 of 5 administrator tries left";
    EXPECT_FALSE(info.flags & CKF_USER_PIN_COUNT_LOW);

    CK_SLOT_INFO slot{};
    ASSERT_EQ(C_GetSlotInfo(5, &slot), CKR_OK);
    EXPECT_EQ(slot.flags & (CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE),
              CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE);
    EXPECT_EQ(slot.hardwareVersion.major, 3);
    EXPECT_EQ(slot.hardwareVersion.minor, 1);
    EXPECT_EQ(slot.firmwareVersion.major, 4);
    EXPECT_EQ(slot.firmwareVersion.minor, 2);

    CK_TOKEN_INFO other{};
    ASSERT_EQ(C_GetTokenInfo(6, &other), CKR_OK);
    EXPECT_FALSE(other.flags & CKF_USER_PIN_INITIALIZED);
}

TEST_F(TokenObjects, TemplatesSelectByClassCertificateTypeAndTokenFlag) {
    EXPECT_EQ(find(session, {classIs(certificateClass), certificateTypeIs(x509Type),
                             onToken(trueValue)})
                  .size(),
              3u);
    EXPECT_EQ(find(session, {classIs(profileClass), onToken(trueValue)}).size(), 2u);
    EXPECT_TRUE(find(session, {classIs(certificateClass), onToken(falseValue)}).empty());
    EXPECT_EQ(find(session, {}).size(), 5u);

    // A class written in 4 bytes is not the CK_ULONG the standard asks for.
    uint32_t shortClass = CKO_CERTIFICATE;
    EXPECT_TRUE(find(session, {{CKA_CLASS, &shortClass, sizeof shortClass}}).empty());

    CK_SESSION_HANDLE other = openSession(6);
    EXPECT_EQ(find(other, {classIs(profileClass)}).size(), 1u);
    EXPECT_TRUE(find(other, {classIs(certificateClass)}).empty());
}

TEST_F(TokenObjects, SearchStateIsKeptPerSession) {
    CK_SESSION_HANDLE second = openSession(5);
    CK_ATTRIBUTE certificates[] = {classIs(certificateClass)};
    CK_ATTRIBUTE profiles[] = {classIs(profileClass)};
    ASSERT_EQ(C_FindObjectsInit(session, certificates, 1), CKR_OK);
    EXPECT_EQ(C_FindObjectsInit(session, profiles, 1), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(C_FindObjectsInit(second, profiles, 1), CKR_OK);

    CK_OBJECT_HANDLE handles[10];
    CK_ULONG count = 0;
    ASSERT_EQ(C_FindObjects(session, handles, 2, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(C_FindObjects(second, handles, 10, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(C_FindObjects(session, handles, 10, &count), CKR_OK);
    EXPECT_EQ(count, 1u) << "the first session goes on where it stopped";
    ASSERT_EQ(C_FindObjects(session, handles, 10, &count), CKR_OK);
    EXPECT_EQ(count, 0u);

    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_FindObjects(session, handles, 10, &count), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(TokenObjects, CertificateAttributesThroughLengthQueryAndValues) {
    auto handles = find(session, {classIs(certificateClass)});
    ASSERT_EQ(handles.size(), 3u);

    CK_ATTRIBUTE query[] = {{CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    ASSERT_EQ(C_GetAttributeValue(session, handles[0], query, 3), CKR_OK);
    EXPECT_EQ(query[0].ulValueLen, 2u);
    EXPECT_EQ(query[1].ulValueLen, std::strlen("Ivanov signing"));
    EXPECT_EQ(query[2].ulValueLen, kBorisDer.size());

    EXPECT_EQ(attribute(session, handles[0], CKA_ID), std::string("\x0a\x0b"));
    EXPECT_EQ(attribute(session, handles[0], CKA_LABEL), "Ivanov signing");
    EXPECT_EQ(attribute(session, handles[0], CKA_VALUE), kBorisDer);
    auto subject = attribute(session, handles[0], CKA_SUBJECT);
    ASSERT_TRUE(subject);
    EXPECT_NE(subject->find("Boris Petrov"), std::string::npos);

    EXPECT_EQ(attribute(session, handles[1], CKA_ID), "") << "an empty id is present, length 0";
    EXPECT_EQ(attribute(session, handles[1], CKA_VALUE).value_or("").substr(0, 1), "\x30");
}

TEST_F(TokenObjects, MissingAttributesAndShortBuffersAreMarkedUnavailable) {
    auto handles = find(session, {classIs(certificateClass)});
    ASSERT_EQ(handles.size(), 3u);

    CK_ATTRIBUTE query[] = {{CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], query, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(query[0].ulValueLen, std::strlen("No value"));
    EXPECT_EQ(query[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);

    char small[4];
    CK_ATTRIBUTE label = {CKA_LABEL, small, sizeof small};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], &label, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(label.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    CK_ATTRIBUTE modulus = {CKA_MODULUS, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(session, handles[0], &modulus, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(modulus.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(TokenObjects, ProfilesCarryUserAndDomain) {
    auto handles = find(session, {classIs(profileClass), onToken(trueValue)});
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(attribute(session, handles[0], 0x8000000F), "ivanov");
    EXPECT_EQ(attribute(session, handles[0], 0x80000010), "example.org");
    EXPECT_EQ(attribute(session, handles[1], 0x8000000F), "ivanov");
    EXPECT_EQ(attribute(session, handles[1], 0x80000010), "");
}

TEST_F(TokenObjects, ObjectOfAnotherTokenIsInvalidInThisSession) {
    CK_SESSION_HANDLE other = openSession(6);
    auto handles = find(other, {});
    ASSERT_EQ(handles.size(), 1u);
    CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(session, handles[0], &label, 1), CKR_OBJECT_HANDLE_INVALID);
}

// The user counter as the PKI family reports it: retries left, retry limit.
std::pair<uint64_t, uint64_t> userTries(CK_SLOT_ID slot) {
    uint64_t words[KX_PKI_COUNTER_WORDS] = {};
    EXPECT_EQ(KX_PKI_ReadPinCounters(slot, KX_USER_TYPE_USER, words), CKR_OK);
    return {words[0], words[1]};
}

CK_FLAGS tokenFlags(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(C_GetTokenInfo(slot, &info), CKR_OK);
    return info.flags;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, std::string pin) {
    return C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
}

TEST_F(TokenObjects, WrongPinCountsDownRightPinResetsAndNoTriesLocks) {
    EXPECT_EQ(login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(userTries(5), std::make_pair(uint64_t{2}, uint64_t{3}));
    EXPECT_TRUE(tokenFlags(5) & CKF_USER_PIN_COUNT_LOW);

    ASSERT_EQ(login(session, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(userTries(5), std::make_pair(uint64_t{3}, uint64_t{3}));
    EXPECT_FALSE(tokenFlags(5) & CKF_USER_PIN_COUNT_LOW);
    ASSERT_EQ(C_Logout(session), CKR_OK);

    EXPECT_EQ(login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenFlags(5) & CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(session, CKU_USER, "1234"), CKR_PIN_LOCKED);
    EXPECT_EQ(userTries(5), std::make_pair(uint64_t{0}, uint64_t{3}));
    EXPECT_TRUE(tokenFlags(5) & CKF_USER_PIN_LOCKED);

    // The administrator's counter is a separate one.
    uint64_t so[KX_PKI_COUNTER_WORDS] = {};
    ASSERT_EQ(KX_PKI_ReadPinCounters(5, KX_USER_TYPE_SO, so), CKR_OK);
    EXPECT_EQ(so[0], 4u);
    EXPECT_EQ(so[1], 5u);
}

TEST_F(TokenObjects, LoginStateFollowsTheStandard) {
    CK_SESSION_HANDLE readOnly = 0;
    ASSERT_EQ(C_OpenSession(5, CKF_SERIAL_SESSION, nullptr, nullptr, &readOnly), CKR_OK);
    EXPECT_EQ(login(session, CKU_SO, "87654321"), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(C_CloseSession(readOnly), CKR_OK);

    EXPECT_EQ(C_Logout(session), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(login(session, 7, "1234"), CKR_USER_TYPE_INVALID);
    ASSERT_EQ(login(session, CKU_SO, "87654321"), CKR_OK);
    CK_SESSION_INFO info{};
    ASSERT_EQ(C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(login(session, CKU_SO, "87654321"), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(login(session, CKU_USER, "1234"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);

    // Closing the last session of the token ends the login.
    ASSERT_EQ(C_CloseSession(session), CKR_OK);
    session = openSession(5);
    ASSERT_EQ(C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);

    CK_SESSION_HANDLE noPin = openSession(6);
    EXPECT_EQ(login(noPin, CKU_USER, "1234"), CKR_USER_PIN_NOT_INITIALIZED);
}

TEST_F(TokenObjects, CounterRecordsOfEachAppletFamily) {
    // user: 3 of 3 tries left; administrator: 4 of 5.
    uint64_t pj[KX_PJ_COUNTER_WORDS] = {};
    ASSERT_EQ(KX_PJ_GetPinCounters(5, KX_USER_TYPE_USER, pj), CKR_OK);
    EXPECT_EQ(std::vector<uint64_t>(pj, pj + 2), (std::vector<uint64_t>{3, 3}));
    ASSERT_EQ(KX_PJ_GetPinCounters(5, KX_USER_TYPE_SO, pj), CKR_OK);
    EXPECT_EQ(std::vector<uint64_t>(pj, pj + 2), (std::vector<uint64_t>{5, 4}));

    ASSERT_EQ(login(session, CKU_USER, "9999"), CKR_PIN_INCORRECT);  // user: 2 of 3
    uint64_t ct1[KX_CT1_COUNTER_WORDS] = {};
    ASSERT_EQ(KX_CT1_ReadPinCounters(5, ct1), CKR_OK);
    EXPECT_EQ(std::vector<uint64_t>(ct1, ct1 + 3), (std::vector<uint64_t>{3, 2, 4}));
    uint64_t tl[KX_TL_COUNTER_WORDS] = {};
    ASSERT_EQ(KX_TL_ReadPinCounters(5, tl), CKR_OK);
    EXPECT_EQ(std::vector<uint64_t>(tl, tl + 4), (std::vector<uint64_t>{3, 2, 5, 4}));
    uint64_t pki[KX_PKI_COUNTER_WORDS] = {};
    ASSERT_EQ(KX_PKI_ReadPinCounters(5, KX_USER_TYPE_USER, pki), CKR_OK);
    EXPECT_EQ(std::vector<uint64_t>(pki, pki + 4), (std::vector<uint64_t>{2, 3, 0, 0}));

    EXPECT_EQ(KX_PKI_ReadPinCounters(5, 2, pki), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(KX_PKI_ReadPinCounters(99, KX_USER_TYPE_USER, pki), CKR_SLOT_ID_INVALID);
}

TEST_F(TokenObjects, IsdTextFillsTheFirst32Bytes) {
    unsigned char isd[KX_ISD_SIZE];
    std::memset(isd, 0xee, sizeof isd);
    ASSERT_EQ(KX_GetISD(5, isd), CKR_OK);
    EXPECT_EQ(field(isd, KX_ISD_TEXT_SIZE), padded("KX123 pilot", KX_ISD_TEXT_SIZE));
    EXPECT_EQ(field(isd + KX_ISD_TEXT_SIZE, KX_ISD_SIZE - KX_ISD_TEXT_SIZE),
              std::string(KX_ISD_SIZE - KX_ISD_TEXT_SIZE, '\0'));
}

uint64_t littleEndianAt(const unsigned char* record, size_t offset) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | record[offset + i];
    }
    return value;
}

class PinPolicies : public SimTest {};

TEST_F(PinPolicies, RecordsHoldTheValuesAtTheirOffsets) {
    insert(1,
           "label = policies\n"
           "pin-lifetime = 300\n"
           "pin-changed = 20240131\n"
           "pin-max-age = 90\n"
           "pin-warning = 14\n"
           "pin-age = 80\n");
    insert(2, "label = no policy\n");
    initialize();

    unsigned char complexity[KX_PKI_COMPLEXITY_SIZE];
    std::memset(complexity, 0xee, sizeof complexity);
    ASSERT_EQ(KX_PKI_GetComplexity(1, complexity), CKR_OK);
    EXPECT_EQ(littleEndianAt(complexity, KX_PKI_COMPLEXITY_LIFETIME_DAYS_OFFSET), 300u);
    EXPECT_EQ(field(complexity + KX_PKI_COMPLEXITY_CHANGE_DATE_OFFSET, 8), "20240131");
    EXPECT_EQ(complexity[0], 0) << "bytes outside the fields are zero";

    unsigned char policy[KX_PJ_PIN_POLICY_SIZE] = {};
    ASSERT_EQ(KX_PJ_GetUserPinPolicy(1, policy), CKR_OK);
    EXPECT_EQ(littleEndianAt(policy, KX_PJ_PIN_POLICY_MAX_AGE_OFFSET), 90u);
    EXPECT_EQ(littleEndianAt(policy, KX_PJ_PIN_POLICY_WARNING_DAYS_OFFSET), 14u);

    unsigned char capabilities[KX_PJ_CAPABILITIES_SIZE] = {};
    ASSERT_EQ(KX_PJ_GetCapabilities(1, capabilities), CKR_OK);
    EXPECT_EQ(littleEndianAt(capabilities, KX_PJ_CAPABILITIES_PIN_AGE_OFFSET), 80u);

    ASSERT_EQ(KX_PKI_GetComplexity(2, complexity), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(complexity), sizeof complexity),
              std::string(sizeof complexity, '\0'));
}

}  // namespace
}  // namespace simtest
