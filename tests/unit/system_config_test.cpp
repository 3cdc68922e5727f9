#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/SystemConfig.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) {
    fs::path directory = fs::path(KX_TEST_OUTPUT_DIR) / "system_config" / name;
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

std::string repeat(char c, size_t count) {
    return std::string(count, c);
}

}  // namespace

TEST(SystemConfigTextTest, ReadingAndWritingBackNormalises) {
    const std::string x1000 = repeat('x', 1000), c10000 = repeat('c', 10000);
    struct Case {
        const char* name;
        std::string text;
        std::string written;
    } cases[] = {
        {"layout",
         "  #  note, blanks kept \t\n#\n  [ main  section ]\n\n    key one   =   value  one  \n"
         "\tkey2=va\tlue\t\n\n\n[other]",
         "#  note, blanks kept \t\n[mainsection]\nkeyone = value  one  \nkey2 = value\n\n"
         "[other]\n\n"},
        {"lines before the first section",
         "include common.conf\n# about s\n[s]\n  #  inside \nk = v\n",
         "include common.conf\n# about s\n[s]\n#  inside \nk = v\n\n"},
        {"a missing value is the next line", "[s]\nempty =\n\nnext = 1\n",
         "[s]\nempty = next = 1\n\n"},
        {"a line without '=' runs on", "[s]\nno equals\nkey = v\n", "[s]\nnoequalskey = v\n\n"},
        {"semicolon starts a key", "[s]\n; not a comment = 1\n", "[s]\n;notacomment = 1\n\n"},
        {"empty key, value and comment", "[s]\n#\n= lost\nk = v\ndangling =", "[s]\nlostk = v\n\n"},
        {"last line without newline", "[s]\nk = last value", "[s]\nk = last value\n\n"},
        {"last key without '='", "[s]\nk = v\ndangling", "[s]\nk = v\n\n"},
        {"duplicate sections", "[s]\na = 1\n[s]\na = 2\n", "[s]\na = 1\n\n[s]\na = 2\n\n"},
        {"CRLF", "[s]\r\nk = v\r\n#c\r\n", "[s]\nk = v\n#c\r\n\n"},
        // Before a section "[]" leaves a line of its own; after one its body goes on.
        {"empty section names", "[ ]x = 1\n[s]\n[]y = 2\n", "]x = 1\n[s]\n]y = 2\n\n"},
        // Reserved names outside their own shape and place are written as sections.
        {"reserved names", "[comment-string]\nk = v\n[s]\n[comment-string]\n#c\n",
         "[comment-string]\nk = v\n\n[s]\n\n[comment-string]\n#c\n\n"},
        {"name at the limit", "[" + x1000 + "]\nk = v\n", "[" + x1000 + "]\nk = v\n\n"},
        {"name over the limit", "[" + x1000 + "y]\nk = v\n", "[" + x1000 + "]\ny]k = v\n\n"},
        {"key at the limit", "[s]\n" + x1000 + " = v\n", "[s]\n" + x1000 + " = v\n\n"},
        {"key over the limit", "[s]\n" + x1000 + "k = v\n", "[s]\nk = v\n\n"},
        {"value at the limit", "[s]\nk = " + x1000 + "\n", "[s]\nk = " + x1000 + "\n\n"},
        {"value over the limit", "[s]\nk = " + x1000 + "y\nn = 1\n",
         "[s]\nk = " + x1000 + "\nyn = 1\n\n"},
        {"comment at the limit", "#" + c10000 + "\n", "#" + c10000 + "\n"},
        {"comment over the limit", "#" + c10000 + "d\n", "#" + c10000 + "\nd\n"},
        {"directive at the limit", c10000 + "\n", c10000 + "\n"},
        {"directive over the limit", c10000 + "#d\n", c10000 + "\n#d\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SystemConfig::Section> sections = SystemConfig::parse(c.text);
        EXPECT_EQ(SystemConfig::format(sections), c.written);
        EXPECT_EQ(SystemConfig::parse(c.written), sections) << "read back differently";
    }
}

TEST(SystemConfigTest, EditsTheFirstSectionAndParameterOfAName) {
    fs::path path = scratch("edits") / "edits.conf";
    writeFile(path, "[Main]\na = 1\nb = 2\n[main]\na = 3\n[Main]\nc = 5\n[Empty]\n[Gone]\nk = v\n");
    SystemConfig config(path);
    EXPECT_EQ(config.get("Main", "a"), "1");
    EXPECT_EQ(config.get("main", "a"), "3");
    EXPECT_EQ(config.get("MAIN", "a"), "");
    EXPECT_EQ(config.get("Main", "c"), "");
    EXPECT_TRUE(config.contain_section("MAIN"));
    EXPECT_TRUE(config.contain_section("empty"));
    EXPECT_FALSE(config.contain_section("Mai"));
    EXPECT_FALSE(config.contain_section("Main "));

    config.set("Main", "a", "9");
    config.set("Main", "c", "4");
    config.set("New", "k", "v");
    config.remove_key("Main", "b", true);    // a and c are left: the section stays
    config.remove_key("Empty", "x", false);  // stays without the flag
    config.remove_key("Gone", "k", true);
    config.remove_key("Missing", "k", true);
    EXPECT_EQ(config.get_byte_array(),
              "[Main]\na = 9\nc = 4\n\n[main]\na = 3\n\n[Main]\nc = 5\n\n[Empty]\n\n[New]\n"
              "k = v\n\n");
    config.remove_key("Empty", "x", true);  // already empty: goes with the flag
    EXPECT_FALSE(config.contain_section("Empty"));
    EXPECT_FALSE(config.empty());
}

TEST(SystemConfigTest, WritesTheFileOnlyWhereNothingIsLost) {
    fs::path directory = scratch("files");
    fs::path written = directory / "written.conf";
    writeFile(written, "# kept\n[s]\nk   =   v\n");
    SystemConfig config(written);
    config.set("s", "n", "1");
    EXPECT_TRUE(config.updateFileConfig());
    EXPECT_EQ(contentOf(written), "# kept\n[s]\nk = v\nn = 1\n\n");

    // A missing file is created, empty when nothing was set.
    fs::path missing = directory / "missing.conf";
    SystemConfig created(missing);
    EXPECT_TRUE(created.empty());
    EXPECT_TRUE(created.updateFileConfig());
    EXPECT_TRUE(fs::exists(missing));
    EXPECT_EQ(contentOf(missing), "");

    // One that is there but cannot be read is neither read nor replaced.
    fs::path fifo = directory / "fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::path large = directory / "large.conf";
    writeFile(large, "[s]\n" + repeat('#', SystemConfig::kFileLimit));
    for (const fs::path& path : {fifo, large, directory}) {
        SCOPED_TRACE(path);
        SystemConfig unreadable(path);
        EXPECT_TRUE(unreadable.empty());
        unreadable.set("s", "k", "v");
        EXPECT_FALSE(unreadable.updateFileConfig());
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(fs::file_size(large), 4 + SystemConfig::kFileLimit);
}
