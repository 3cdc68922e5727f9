#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "TestFiles.h"
#include "config/SystemConfig.h"

using namespace testfiles;

TEST(SystemConfigTextTest, ReadingAndWritingBackNormalises) {
    const std::string x1000(1000, 'x'), c10000(10000, 'c');
    const struct {
        const char* name;
        std::string text;
        std::string written;
    } cases[] = {
        {"layout",
         "include common.conf\n  #  note \t\n  [ main  section ]\n\n    key one   =   value  one  "
         "\n"
         "\tkey2=va\tlue\t\n\n\n[other]",
         "include common.conf\n#  note \t\n[mainsection]\nkeyone = value  one  \nkey2 = value\n\n"
         "[other]\n\n"},
        {"a missing value is the next line", "[s]\nempty =\n\nnext = 1\n",
         "[s]\nempty = next = 1\n\n"},
        {"a line without '=' runs on", "[s]\nno equals\nkey = v\n", "[s]\nnoequalskey = v\n\n"},
        {"empty key, value and comment", "[s]\n#\n= lost\nk = v\ndangling =", "[s]\nlostk = v\n\n"},
        {"last key without '='", "[s]\nk = v\ndangling", "[s]\nk = v\n\n"},
        {"duplicate sections", "[s]\na = 1\n[s]\na = 2\n", "[s]\na = 1\n\n[s]\na = 2\n\n"},
        {"CRLF", "[s]\r\nk = v\r\n#c\r\n", "[s]\nk = v\n#c\r\n\n"},
        // Before a section "[]" leaves a line of its own; after one its body goes on.
        {"empty section names", "[ ]x = 1\n[s]\n[]y = 2\n", "]x = 1\n[s]\n]y = 2\n\n"},
        {"reserved names", "[comment-string]\nk = v\n[s]\n[comment-string]\n#c\n",
         "[comment-string]\nk = v\n\n[s]\n\n[comment-string]\n#c\n\n"},
        {"name at the limit", "[" + x1000 + "]\nk = v\n", "[" + x1000 + "]\nk = v\n\n"},
        {"name over the limit", "[" + x1000 + "y]\nk = v\n", "[" + x1000 + "]\ny]k = v\n\n"},
        {"key over the limit", "[s]\n" + x1000 + "k = v\n", "[s]\nk = v\n\n"},
        {"value over the limit", "[s]\nk = " + x1000 + "y\nn = 1\n",
         "[s]\nk = " + x1000 + "\nyn = 1\n\n"},
        {"comment at the limit", "#" + c10000 + "\n", "#" + c10000 + "\n"},
        {"comment over the limit", "#" + c10000 + "d\n", "#" + c10000 + "\nd\n"},
        {"directive over the limit", c10000 + "#d\n", c10000 + "\n#d\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SystemConfig::Section> sections = SystemConfig::parse(c.text);
        EXPECT_EQ(SystemConfig::format(sections), c.written);
        EXPECT_EQ(SystemConfig::parse(c.written), sections) << "read back differently";
    }
}

TEST(SystemConfigTest, EditsTheFirstSectionOfANameAndWritesOnlyWhereNothingIsLost) {
    fs::path directory = scratch("system_config");
    fs::path path = directory / "edits.conf";
    writeFile(path, "[Main]\na = 1\nb = 2\n[main]\na = 3\n[Main]\nc = 5\n[Empty]\n[Gone]\nk = v\n");
    SystemConfig config(path);
    EXPECT_EQ(config.get("Main", "a"), "1");
    EXPECT_EQ(config.get("main", "a"), "3");
    EXPECT_EQ(config.get("Main", "c"), "");
    EXPECT_TRUE(config.contain_section("MAIN"));
    EXPECT_FALSE(config.contain_section("Main "));

    config.set("Main", "a", "9");
    config.set("Main", "c", "4");
    config.set("New", "k", "v");
    config.remove_key("Main", "b", true);    // a and c are left: the section stays
    config.remove_key("Empty", "x", false);  // stays without the flag
    config.remove_key("Gone", "k", true);
    ASSERT_TRUE(config.updateFileConfig());
    EXPECT_EQ(contentOf(path),
              "[Main]\na = 9\nc = 4\n\n[main]\na = 3\n\n[Main]\nc = 5\n\n[Empty]\n\n[New]\n"
              "k = v\n\n");
    config.remove_key("Empty", "x", true);  // already empty: goes with the flag
    EXPECT_FALSE(config.contain_section("Empty"));

    // A missing file is created; one that is there but cannot be read is not replaced.
    EXPECT_TRUE(SystemConfig(directory / "missing.conf").updateFileConfig());
    EXPECT_TRUE(fs::exists(directory / "missing.conf"));
    fs::path fifo = directory / "fifo.conf", large = directory / "large.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    writeFile(large, "[s]\n" + std::string(SystemConfig::kFileLimit, '#'));
    for (const fs::path& unreadablePath : {fifo, large}) {
        SystemConfig unreadable(unreadablePath);
        EXPECT_TRUE(unreadable.empty()) << unreadablePath;
        unreadable.set("s", "k", "v");
        EXPECT_FALSE(unreadable.updateFileConfig()) << unreadablePath;
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(fs::file_size(large), 4 + SystemConfig::kFileLimit);
}
