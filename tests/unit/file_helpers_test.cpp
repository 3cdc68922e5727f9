// The shared file and text helpers. (UntrustedFile's regular files only, without blocking, within
// the bound: the local PKI rule's cases in test_removal.py.)
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "TestFiles.h"
#include "base/AtomicFile.h"
#include "base/Common.h"
#include "base/JsonWriter.h"

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

TEST(JsonWriterTest, WritesValidJsonWhateverTheTextsHold) {
    JsonWriter json;
    json.beginObject().key("a").beginArray();
    json.string("\"\\\n\x01 Ключ").string("not\xff").string(std::string("\0", 1)).end();
    json.key("b").beginObject().key("n").integer(-1).key("u").unsignedInteger(UINT64_MAX);
    json.key("t").boolean(true).key("z").null().end().key("c").beginArray().end().end();
    EXPECT_EQ(json.text(),
              "{\"a\":[\"\\\"\\\\\\n\\u0001 Ключ\",\"not\\\\xff\",\"\\u0000\"],"
              "\"b\":{\"n\":-1,\"u\":18446744073709551615,\"t\":true,\"z\":null},\"c\":[]}");
}

// Replacing through a link, keeping mode and owner, creating 0644 files and a failed write:
// test_logon_methods.py. Here the failures that leave nothing behind.
TEST(AtomicFileTest, FailureChangesNothingAndLeavesNoTemporaryFile) {
    fs::path directory = scratch("replace");
    fs::create_symlink(directory / "nowhere", directory / "dangling");
    fs::create_directory(directory / "sub");
    // A file of two names: replaced under one, the other would keep the old content.
    writeFile(directory / "linked", "old");
    fs::create_hard_link(directory / "linked", directory / "other name");
    for (const auto& [path, expected] : {std::pair{directory / "dangling", ENOENT},
                                         {directory / "missing" / "file", ENOENT},
                                         {directory / "sub", EISDIR},
                                         {directory / "linked", EMLINK}}) {
        int error = 0;
        EXPECT_FALSE(AtomicFile::replace(path, "x", 0644, &error)) << path;
        EXPECT_EQ(error, expected) << path;
    }
    EXPECT_EQ(contentOf(directory / "linked") + contentOf(directory / "other name"), "oldold");
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
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 4);
}

namespace {

std::map<std::string, std::string> attributesOf(const fs::path& path) {
    char names[4096];
    ssize_t size = listxattr(path.c_str(), names, sizeof(names));
    std::map<std::string, std::string> attributes;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
        char value[4096];
        ssize_t length = getxattr(path.c_str(), names + at, value, sizeof(value));
        attributes[names + at] =
            std::string(value, static_cast<size_t>(std::max<ssize_t>(length, 0)));
    }
    return attributes;
}

}  // namespace

TEST(AtomicFileTest, ReplacementKeepsTheExtendedAttributesAndGainsNone) {
    fs::path directory = scratch("attributes");
    fs::path kept = directory / "kept", plain = directory / "plain";
    writeFile(kept, "old");
    writeFile(plain, "old");
    // An ACL as the kernel stores it: version 2, then (tag, permissions, id) in little-endian:
    // owner rw, user 1234 r, group r, mask r, others nothing.
    const std::string acl(
        "\2\0\0\0\1\0\6\0\377\377\377\377\2\0\4\0\322\4\0\0\4\0\4\0\377\377\377\377"
        "\20\0\4\0\377\377\377\377\40\0\0\0\377\377\377\377",
        44);
    for (const auto& [path, name, value] :
         {std::tuple{kept, "system.posix_acl_access", acl},
          {kept, "user.label", std::string("kx")},
          {kept, "trusted.label", std::string("root's")},
          // New files in the directory get an ACL of their own, which a replaced one must not.
          {directory, "system.posix_acl_default", acl}}) {
        ASSERT_EQ(setxattr(path.c_str(), name, value.data(), value.size(), 0), 0) << name;
    }
    for (const fs::path& path : {kept, plain}) {
        const auto attributes = attributesOf(path);
        ASSERT_TRUE(AtomicFile::replace(path, "new")) << path;
        EXPECT_EQ(contentOf(path), "new");
        EXPECT_EQ(attributesOf(path), attributes) << path;
    }
    EXPECT_EQ(attributesOf(kept).size(), 3u);
}
