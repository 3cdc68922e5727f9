// What a token holds and how it is read: token info, object searches, attributes, the retry
// counters. (The maker's counter and policy records are read end to end by the PIN checks'
// tests in tests/unit.)

#include "SimClient.h"

#include <cstring>

namespace simtest {
namespace {

const std::string kBorisDer = readFile(KXSIM_TEST_DATA "/boris.der");

class TokenObjects : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        insert(5,
               "label = Ivanov token\nmodel = Korvex Quill\nserial = 0042\n"
               "manufacturer = Korvex Labs\n"
               "user-pin = 1234\nso-pin = 87654321\nuser-tries = 3\nso-tries = 5\n"
               "so-tries-left = 4\nprofile = ivanov@example.org\nprofile = ivanov@\n"
               "\n[certificate]\nid = 0a:0b\nlabel = Ivanov signing\nfile = " KXSIM_TEST_DATA
               "/boris.der\n"
               "\n[certificate]\nlabel = Outside a container\nid =\nfile = " KXSIM_TEST_DATA
               "/alice.pem\n"
               "\n[certificate]\nlabel = No value\nid = 01\n");
        insert(6, "label = other\nprofile = petrov@example.org\n");
        initialize();
        session = openSession(5);
    }

    CK_RV login(CK_USER_TYPE user, std::string pin) {
        return C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
    }

    CK_SESSION_HANDLE session = 0;
};

// Token texts and versions reach the daemon's log and records (tests/unit, tests/system); here
// what only the library shows.
TEST_F(TokenObjects, TokenInfoFlagsFollowTheEntryAndSlotsAreRemovable) {
    CK_TOKEN_INFO info{};
    ASSERT_EQ(C_GetTokenInfo(5, &info), CKR_OK);
    EXPECT_EQ(field(info.manufacturerID, 32), "Korvex Labs" + std::string(21, ' '));
    EXPECT_EQ(info.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED |
                            CKF_USER_PIN_COUNT_LOW | CKF_SO_PIN_COUNT_LOW),
              CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_SO_PIN_COUNT_LOW);
    ASSERT_EQ(C_GetTokenInfo(6, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_USER_PIN_INITIALIZED) << "no user-pin in the entry";
    CK_SLOT_INFO slot{};
    ASSERT_EQ(C_GetSlotInfo(5, &slot), CKR_OK);
    EXPECT_EQ(slot.flags & (CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE),
              CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE);
}

TEST_F(TokenObjects, TemplatesSelectByClassCertificateTypeAndTokenFlag) {
    EXPECT_EQ(find(session, {is(CKA_CLASS, certificateClass), is(CKA_CERTIFICATE_TYPE, x509Type),
                             is(CKA_TOKEN, trueValue)})
                  .size(),
              3u);
    EXPECT_TRUE(
        find(session, {is(CKA_CLASS, certificateClass), is(CKA_TOKEN, falseValue)}).empty());
    EXPECT_EQ(find(session, {}).size(), 5u);
    // A class written in 4 bytes is not the CK_ULONG the standard asks for.
    uint32_t shortClass = CKO_CERTIFICATE;
    EXPECT_TRUE(find(session, {{CKA_CLASS, &shortClass, sizeof shortClass}}).empty());

    auto profiles = find(session, {is(CKA_CLASS, profileClass), is(CKA_TOKEN, trueValue)});
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(attribute(session, profiles[0], 0x8000000F), "ivanov");
    EXPECT_EQ(attribute(session, profiles[0], 0x80000010), "example.org");
    EXPECT_EQ(attribute(session, profiles[1], 0x80000010), "");
    // Each session searches its own token.
    EXPECT_EQ(find(openSession(6), {is(CKA_CLASS, profileClass)}).size(), 1u);
}

TEST_F(TokenObjects, AttributeLengthsValuesAndUnavailableOnes) {
    auto handles = find(session, {is(CKA_CLASS, certificateClass)});
    ASSERT_EQ(handles.size(), 3u);
    CK_ATTRIBUTE query[] = {{CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    ASSERT_EQ(C_GetAttributeValue(session, handles[0], query, 3), CKR_OK);
    EXPECT_EQ(query[0].ulValueLen, 2u);
    EXPECT_EQ(query[1].ulValueLen, std::strlen("Ivanov signing"));
    EXPECT_EQ(query[2].ulValueLen, kBorisDer.size());
    EXPECT_EQ(attribute(session, handles[0], CKA_ID), std::string("\x0a\x0b"));
    EXPECT_EQ(attribute(session, handles[0], CKA_VALUE), kBorisDer);
    EXPECT_NE(attribute(session, handles[0], CKA_SUBJECT).value_or("").find("Boris Petrov"),
              std::string::npos);
    EXPECT_EQ(attribute(session, handles[1], CKA_ID), "") << "an empty id is present, length 0";

    // The object without a value: the attributes it has are still filled in.
    CK_ATTRIBUTE partial[] = {{CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], partial, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(partial[0].ulValueLen, std::strlen("No value"));
    EXPECT_EQ(partial[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    char small[4];
    CK_ATTRIBUTE label = {CKA_LABEL, small, sizeof small};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], &label, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(label.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(TokenObjects, WrongPinCountsDownRightPinResetsAndNoTriesLocks) {
    auto userTries = [] {
        uint64_t words[KX_PKI_COUNTER_WORDS] = {};
        EXPECT_EQ(KX_PKI_ReadPinCounters(5, KX_USER_TYPE_USER, words), CKR_OK);
        return std::vector<uint64_t>(words, words + 2);  // retries left, retry limit
    };
    auto flags = [] {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(C_GetTokenInfo(5, &info), CKR_OK);
        return info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    };
    EXPECT_EQ(login(CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(userTries(), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(flags(), CKF_USER_PIN_COUNT_LOW);

    ASSERT_EQ(login(CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(userTries(), (std::vector<uint64_t>{3, 3}));
    EXPECT_EQ(flags(), 0u);
    ASSERT_EQ(C_Logout(session), CKR_OK);

    EXPECT_EQ(login(CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(flags(), CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(login(CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(CKU_USER, "1234"), CKR_PIN_LOCKED);
    EXPECT_EQ(userTries(), (std::vector<uint64_t>{0, 3}));
    EXPECT_EQ(flags() & CKF_USER_PIN_LOCKED, CKF_USER_PIN_LOCKED);
}

}  // namespace
}  // namespace simtest
