// The shared file and text helpers. (UntrustedFile's regular files only, without blocking, within
// the bound: the local PKI rule's cases in test_removal.py.)
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "TestFiles.h"
#include "log/AtomicFile.h"
#include "log/Common.h"

using namespace testfiles;

TEST(PrintableTest, EscapesWhatCouldForgeARecordOrSteerATerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"Отключено\tустройство\r", "Отключено\\x09устройство\\x0d"},
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
    // A write that fails half-way, here at the file size limit, removes its temporary file.
    rlimit limit{}, small{1, 1};
    getrlimit(RLIMIT_FSIZE, &limit);
    small.rlim_max = limit.rlim_max;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    int error = 0;
    EXPECT_FALSE(AtomicFile::replace(directory / "large", "more than a byte", 0644, &error));
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}
