#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "log/AtomicFile.h"
#include "log/Common.h"
#include "log/UntrustedFile.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory in the build tree per test.
fs::path scratch(const std::string& name) {
    fs::path directory = fs::path(KX_TEST_OUTPUT_DIR) / "file_helpers" / name;
    fs::remove_all(directory);
    fs::create_directories(directory);
    return directory;
}

std::string contentOf(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

TEST(PrintableTest, EscapesWhatCouldForgeARecordOrSteerATerminal) {
    struct Case {
        std::string text;
        std::string logged;
    } cases[] = {
        {"ivanov", "ivanov"},
        {"Отключено устройство", "Отключено устройство"},  // Cyrillic is valid UTF-8
        {"a\nОтключено устройство в слоте 7", "a\\x0aОтключено устройство в слоте 7"},
        {"tab\there\r", "tab\\x09here\\x0d"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"del\x7f", "del\\x7f"},
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b31m"},                                 // C1 CSI written in UTF-8
        {"\xff\xfe", "\\xff\\xfe"},                        // not UTF-8 at all
        {"\xc0\xaf", "\\xc0\\xaf"},                        // overlong '/'
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},               // a surrogate
        {"cut\xd0", "cut\\xd0"},                           // a sequence cut short
        {"\xf0\x9f\x94\x91 key", "\xf0\x9f\x94\x91 key"},  // four-byte sequence kept
        {"100% \\x0a", "100% \\x0a"},                      // per cent and backslash stay
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Common::printable(c.text), c.logged) << c.logged;
    }
}

TEST(TrimTest, RemovesOnlyTrailingWhiteSpace) {
    EXPECT_EQ(Common::trim("  label \t\r\n\v\f "), "  label");
    EXPECT_EQ(Common::trim("   "), "");
    // NUL is not white space: a NUL-padded PKCS#11 field keeps its padding.
    EXPECT_EQ(Common::trim(std::string("ab\0\0  ", 6)), std::string("ab\0\0", 4));
}

TEST(UntrustedFileTest, ReadsOnlyRegularFilesWithoutBlockingAndWithinTheBound) {
    fs::path directory = scratch("untrusted");
    writeFile(directory / "regular", "content\n");
    writeFile(directory / "large", std::string(3000, 'x'));
    ASSERT_EQ(mkfifo((directory / "fifo").c_str(), 0600), 0);
    fs::create_symlink(directory / "regular", directory / "link");
    fs::create_symlink("/dev/zero", directory / "zero");

    struct Case {
        fs::path path;
        bool read;
        int error;
        std::string content;
    } cases[] = {
        {directory / "regular", true, 0, "content\n"},
        {directory / "link", true, 0, "content\n"},
        {directory / "large", true, 0, std::string(1000, 'x')},
        {directory / "missing", false, ENOENT, ""},
        {directory, false, EISDIR, ""},
        {directory / "fifo", false, EINVAL, ""},  // would block forever in a plain open
        {directory / "zero", false, EINVAL, ""},  // would never end
    };
    for (const Case& c : cases) {
        std::string content = "stale";
        int error = -1;
        EXPECT_EQ(UntrustedFile::read(c.path, content, 1000, &error), c.read) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
        EXPECT_EQ(content, c.content) << c.path;
    }
}

TEST(AtomicFileTest, ReplacesContentKeepingModeOwnerAndLinks) {
    fs::path directory = scratch("replace");
    fs::path target = directory / "system-auth-ac";
    writeFile(target, "old\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(chown(target.c_str(), 1234, 4321), 0);
    fs::create_symlink("system-auth-ac", directory / "system-auth");

    ASSERT_TRUE(AtomicFile::replace(directory / "system-auth", "new\n"));

    EXPECT_TRUE(fs::is_symlink(directory / "system-auth"));
    EXPECT_EQ(contentOf(target), "new\n");
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 4321u);
    // Nothing but the two names is left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}

TEST(AtomicFileTest, CreatesMissingFilesReadableNotWritableByOthers) {
    fs::path target = scratch("create") / "kxpkcs11.conf";
    mode_t previous = umask(0);  // as in the daemon
    bool written = AtomicFile::replace(target, "AppletOrder = Forte\n");
    umask(previous);
    ASSERT_TRUE(written);
    EXPECT_EQ(contentOf(target), "AppletOrder = Forte\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
}

TEST(AtomicFileTest, FailureLeavesNothingChangedAndNoTemporaryFile) {
    fs::path directory = scratch("failures");
    fs::create_symlink(directory / "nowhere", directory / "dangling");
    fs::create_directory(directory / "adirectory");

    struct Case {
        fs::path path;
        int error;
    } cases[] = {
        {directory / "dangling", ENOENT},
        {directory / "adirectory", EISDIR},
        {directory / "missing-directory" / "file", ENOENT},
    };
    for (const Case& c : cases) {
        int error = 0;
        EXPECT_FALSE(AtomicFile::replace(c.path, "x", 0644, &error)) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
    }
    EXPECT_FALSE(fs::exists(directory / "nowhere"));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}
