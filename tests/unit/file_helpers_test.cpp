#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "TestFiles.h"
#include "log/AtomicFile.h"
#include "log/Common.h"
#include "log/UntrustedFile.h"

using namespace testfiles;

TEST(PrintableTest, EscapesWhatCouldForgeARecordOrSteerATerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"Отключено устройство", "Отключено устройство"},  // Cyrillic is valid UTF-8
        {"a\nb\tc\r", "a\\x0ab\\x09c\\x0d"},
        {std::string("nul\0\x1b[31m\x7f", 10), "nul\\x00\\x1b[31m\\x7f"},
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b31m"},                    // C1 CSI written in UTF-8
        {"\xff\xc0\xaf", "\\xff\\xc0\\xaf"},  // not UTF-8; an overlong '/'
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate
        {"cut\xd0", "cut\\xd0"},              // a sequence cut short
        {"\xf0\x9f\x94\x91 100% \\x0a", "\xf0\x9f\x94\x91 100% \\x0a"},
    };
    for (const auto& [text, logged] : cases) {
        EXPECT_EQ(Common::printable(text), logged) << logged;
    }
    // NUL is not white space: a NUL-padded PKCS#11 field keeps its padding.
    EXPECT_EQ(Common::trim(std::string("  ab\0 \t\r\n\v\f ", 12)), std::string("  ab\0", 5));
}

TEST(UntrustedFileTest, ReadsOnlyRegularFilesWithoutBlockingAndWithinTheBound) {
    fs::path directory = scratch("untrusted");
    writeFile(directory / "large", std::string(3000, 'x'));
    ASSERT_EQ(mkfifo((directory / "fifo").c_str(), 0600), 0);
    fs::create_symlink(directory / "large", directory / "link");
    fs::create_symlink("/dev/zero", directory / "zero");
    const struct {
        fs::path path;
        int error;
        std::string content;
    } cases[] = {
        {directory / "link", 0, std::string(1000, 'x')},
        {directory / "missing", ENOENT, ""},
        {directory, EISDIR, ""},
        {directory / "fifo", EINVAL, ""},  // would block forever in a plain open
        {directory / "zero", EINVAL, ""},  // would never end
    };
    for (const auto& c : cases) {
        std::string content = "stale";
        int error = -1;
        EXPECT_EQ(UntrustedFile::read(c.path, content, 1000, &error), c.error == 0) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
        EXPECT_EQ(content, c.content) << c.path;
    }
}

// Replacing through a link, keeping mode and owner, creating 0644 files and a failed write:
// test_logon_methods.py. Here the failures that leave nothing behind.
TEST(AtomicFileTest, FailureChangesNothingAndLeavesNoTemporaryFile) {
    fs::path directory = scratch("replace");
    fs::create_symlink(directory / "nowhere", directory / "dangling");
    fs::create_directory(directory / "sub");
    for (const auto& [path, expected] : {std::pair{directory / "dangling", ENOENT},
                                         {directory / "missing" / "file", ENOENT},
                                         {directory / "sub", EISDIR}}) {
        int error = 0;
        EXPECT_FALSE(AtomicFile::replace(path, "x", 0644, &error)) << path;
        EXPECT_EQ(error, expected) << path;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}
