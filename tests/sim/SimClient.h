#pragma once

// A small PKCS#11 client: each test gets its own token directory under the build tree, writes
// entries into it as kxsim would, and talks to the library only through its exported functions.

#include "kxpkcs11.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

namespace fs = std::filesystem;

inline std::string testName() {
    return testing::UnitTest::GetInstance()->current_test_info()->name();
}

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

struct ProcessResult {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string err;
};

// Runs a program through the shell, its errors going to a file beside scratch. The tests' own
// arguments hold no single quote.
inline ProcessResult run(const std::vector<std::string>& args, const std::string& scratch) {
    std::string command;
    for (const std::string& arg : args) {
        command += "'" + arg + "' ";
    }
    int status = std::system((command + "</dev/null >/dev/null 2>'" + scratch + ".err'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(scratch + ".err")};
}

inline std::vector<CK_SLOT_ID> slotList() {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    slots.resize(count);
    return slots;
}

// The token's label, which must come blank padded.
inline std::string tokenLabel(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(C_GetTokenInfo(slot, &info), CKR_OK);
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    return label.substr(0, label.find_last_not_of(' ') + 1);
}

inline CK_SESSION_HANDLE openSession(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              CKR_OK);
    return session;
}

inline std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session,
                                          std::vector<CK_ATTRIBUTE> pattern) {
    EXPECT_EQ(C_FindObjectsInit(session, pattern.data(), pattern.size()), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> found(1000);
    CK_ULONG count = 0;
    EXPECT_EQ(C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
    found.resize(count);
    return found;
}

// One attribute through the length query and the value call; nothing when it is missing.
inline std::optional<std::string> attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                            CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query = {type, nullptr, 0};
    if (C_GetAttributeValue(session, object, &query, 1) != CKR_OK) {
        return std::nullopt;
    }
    std::string value(query.ulValueLen, '\0');
    query.pValue = value.data();
    EXPECT_EQ(C_GetAttributeValue(session, object, &query, 1), CKR_OK);
    return value;
}

// A template attribute value that must outlive the CK_ATTRIBUTE pointing at it.
inline CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;

template <typename Value>
CK_ATTRIBUTE is(CK_ATTRIBUTE_TYPE type, Value& value) {
    return {type, &value, sizeof value};
}

class SimTest : public testing::Test {
protected:
    void SetUp() override {
        tokenDir = fs::path(KXSIM_TEST_WORK_DIR) / testName();
        fs::remove_all(tokenDir);
        fs::create_directories(tokenDir);
        setenv("KXSIM_TOKEN_DIR", tokenDir.c_str(), 1);
        unsetenv("KXSIM_BRIDGE_MODULE");
    }

    void TearDown() override { C_Finalize(nullptr); }

    // Writes an entry as kxsim does: a hidden file first, then a rename into place.
    void insert(CK_SLOT_ID slot, const std::string& text) {
        fs::path hidden = tokenDir / ("." + std::to_string(slot) + ".tmp");
        std::ofstream(hidden) << text;
        fs::rename(hidden, tokenDir / std::to_string(slot));
    }

    void remove(CK_SLOT_ID slot) { ASSERT_TRUE(fs::remove(tokenDir / std::to_string(slot))); }

    void initialize() { ASSERT_EQ(C_Initialize(nullptr), CKR_OK); }

    fs::path tokenDir;
};

}  // namespace simtest
