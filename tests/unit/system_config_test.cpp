#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
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
        // No item crosses a line end: lines that are not "key = value" are kept as they are.
        {"empty value", "[s]\nk =\n#c\n[t]\nx = 1\n", "[s]\nk =\n#c\n\n[t]\nx = 1\n\n"},
        {"lines without a key", "[s]\n; note\nno equals\n#\n= v\nk = v\ndangling",
         "[s]\n; note\nno equals\n= v\nk = v\ndangling\n\n"},
        {"byte order mark", "\xEF\xBB\xBF[s]\nk = v\n", "\xEF\xBB\xBF[s]\nk = v\n\n"},
        {"its bytes later", " \xEF\xBB\xBFk\n", "\n\xEF\xBB\xBFk\n"},
        {"duplicate sections", "[s]\na = 1\n[s]\na = 2\n", "[s]\na = 1\n\n[s]\na = 2\n\n"},
        {"CRLF", "[s]\r\nk = v\r\n#c\r\n", "[s]\nk = v\n#c\r\n\n"},
        // Before a section "[]" leaves a line of its own; after one its body goes on.
        {"empty section names", "[ ]x = 1\n[s]\n[]y = 2\n", "]x = 1\n[s]\n]y = 2\n\n"},
        {"reserved names", "[comment-string]\nk = v\n[s]\n[comment-string]\n#c\n",
         "[comment-string]\nk = v\n\n[s]\n\n[comment-string]\n#c\n\n"},
        {"name at the limit", "[" + x1000 + "]\nk = v\n", "[" + x1000 + "]\nk = v\n\n"},
        // Over its limit an item is cut and the rest of its line dropped.
        {"name over the limit", "[" + x1000 + "y]k = v\n", "[" + x1000 + "]\n\n"},
        {"key over the limit", "[s]\n" + x1000 + "k = v\n", "[s]\n\n"},
        {"value over the limit", "[s]\nk = " + x1000 + "y\nn = 1\n",
         "[s]\nk = " + x1000 + "\nn = 1\n\n"},
        {"comment at the limit", "#" + c10000 + "\n", "#" + c10000 + "\n"},
        {"comment over the limit", "#" + c10000 + "d\n[s]\n#" + c10000 + "d\n",
         "#" + c10000 + "\n[s]\n#" + c10000 + "\n\n"},
        {"directive over the limit", c10000 + "#d\n[s]\n;" + c10000,
         c10000 + "\n[s]\n;" + c10000.substr(1) + "\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<SystemConfig::Content> content = SystemConfig::parse(c.text);
        ASSERT_TRUE(content);
        EXPECT_EQ(SystemConfig::format(*content), c.written);
        EXPECT_EQ(SystemConfig::parse(c.written), content) << "read back differently";
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

    // What set takes reads back as set; what would not, it refuses.
    const std::string x1001(1001, 'x');
    const struct {
        std::string section, key, value;
        bool taken;
    } sets[] = {
        {"Main", "k", "", true},
        {"Main", "k2", "a = [b] ; #c  ", true},
        {"[t", "]k", "v", true},
        {"Main", "comment-string", " note", true},
        {"Main", "directive-string", "; as it is", true},
        {"", "k", "v", false},
        {"a b", "k", "v", false},
        {"a]", "k", "v", false},
        {"comment-string", "k", "v", false},
        {"Main", "", "v", false},
        {"Main", "[k", "v", false},
        {"Main", ";k", "v", false},
        {"Main", "a=b", "v", false},
        {"Main", "a\tb", "v", false},
        {"Main", "k", "a\nb", false},
        {"Main", "k", " v", false},
        {"Main", "k", "a\tb", false},
        {"Main", "k", x1001, false},
        {"Main", "comment-string", "", false},
        {"Main", "directive-string", "a = b", false},
    };
    for (const auto& c : sets) {
        SCOPED_TRACE(c.section + "/" + c.key + "/" + c.value);
        EXPECT_EQ(config.set(c.section, c.key, c.value), c.taken);
        if (c.taken) {
            EXPECT_EQ(config.get(c.section, c.key), c.value);
        }
    }
    EXPECT_EQ(SystemConfig::parse(config.get_byte_array()), config.content());

    // A missing file is created; one that is there but cannot be read is not replaced.
    EXPECT_TRUE(SystemConfig(directory / "missing.conf").updateFileConfig());
    EXPECT_TRUE(fs::exists(directory / "missing.conf"));
    fs::path fifo = directory / "fifo.conf", large = directory / "large.conf",
             many = directory / "many.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    writeFile(large, "[s]\n" + std::string(SystemConfig::kFileLimit, '#'));
    std::string items = "[s]\n";  // an item a line: at the limit, then over it
    for (size_t i = 1; i < SystemConfig::kItemLimit; ++i) {
        items += "k=v\n";
    }
    EXPECT_TRUE(SystemConfig::parse(items));
    writeFile(many, items + "k=v\n");
    for (const fs::path& unreadablePath : {fifo, large, many}) {
        SystemConfig unreadable(unreadablePath);
        EXPECT_TRUE(unreadable.empty()) << unreadablePath;
        unreadable.set("s", "k", "v");
        EXPECT_FALSE(unreadable.updateFileConfig()) << unreadablePath;
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(fs::file_size(large), 4 + SystemConfig::kFileLimit);
}
