#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// An INI-style file (sections in square brackets, "key = value" lines) held in memory: read
// whole, edited by section and key, written back whole in a normalised layout that keeps the
// comments and the lines before the first section. Names are not unique; lookups take the first.
// Nothing here logs.
class SystemConfig {
public:
    struct Parameter {
        std::string key;
        std::string value;
        bool operator==(const Parameter& other) const {
            return key == other.key && value == other.value;
        }
    };

    struct Section {
        std::string name;
        std::vector<Parameter> parameters;
        bool operator==(const Section& other) const {
            return name == other.name && parameters == other.parameters;
        }
    };

    // A comment is kept as a parameter with this key (its value the text after '#'); one before
    // the first section as a section of this name holding that one parameter.
    static const std::string commentName;  // "comment-string"
    // A line kept whole: before the first section, a line that is neither a comment nor a
    // section, as a section of this name holding one parameter of this key whose value is the
    // line; inside a section, a line that is not a key line (a ';' comment, no '=', nothing
    // before the '='), as a parameter of this key.
    static const std::string directiveName;  // "directive-string"

    // No item crosses the end of its line. One longer than its limit is cut there and the rest
    // of its line dropped.
    static constexpr size_t kNameLimit = 1000;   // section names, keys, values
    static constexpr size_t kLineLimit = 10000;  // comments, directives
    // A larger file, or one of more items (sections and parameters; a line before the first
    // section is both), is not read (nor replaced): the items alone could take a hundred times
    // the file's size in memory.
    static constexpr size_t kFileLimit = 4 * 1024 * 1024;
    static constexpr size_t kItemLimit = 100000;

    // What a text holds: its sections, and whether it began with a UTF-8 byte order mark
    // (skipped on reading, written back).
    struct Content {
        std::vector<Section> sections;
        bool byteOrderMark = false;
        bool operator==(const Content& other) const {
            return sections == other.sections && byteOrderMark == other.byteOrderMark;
        }
    };

    // Reads the file at path. A missing file gives an empty configuration that
    // updateFileConfig creates; a file that cannot be read (a directory, a FIFO, one beyond
    // kFileLimit or kItemLimit, a read error) gives an empty configuration that
    // updateFileConfig leaves alone.
    explicit SystemConfig(std::string path);

    // The value of key in the first section called section (both case-sensitive); empty when
    // either is missing.
    std::string get(const std::string& section, const std::string& key) const;
    // Replaces the first such value, or appends the parameter to the first such section, or
    // appends a new section at the end. Refuses (false, nothing changed) what would not read
    // back as given once written (see writable).
    bool set(const std::string& section, const std::string& key, const std::string& value);
    // Erases the first such parameter from the first such section, then the section itself when
    // it has no parameters left and removeEmptySection is set.
    void remove_key(const std::string& section, const std::string& key, bool removeEmptySection);
    // Whether a section of this name exists, letters compared without case.
    bool contain_section(const std::string& section) const;
    // No sections at all (comments and lines before the first section count as sections).
    bool empty() const { return content_.sections.empty(); }
    const Content& content() const { return content_; }

    // The file text in the normalised layout.
    std::string get_byte_array() const { return format(content_); }
    // Replaces the file atomically with get_byte_array(): readers see the old file or the new
    // one, never a part. False when it could not, when the file was there but unreadable, or
    // when the text would be too large to be read again.
    bool updateFileConfig() const;

    // The text form, shared with tests and the fuzzer: format(parse(text)) is the normalised
    // text, and parse(format(content)) gives the same content for whatever parse returned.
    // Nothing for a text of more than kItemLimit items.
    static std::optional<Content> parse(const std::string& text);
    static std::string format(const Content& content);
    // Whether set may store this: a section name of 1 to kNameLimit characters without white
    // space or ']', other than the reserved names; a key of 1 to kNameLimit characters without
    // white space or '=' that starts neither with '#', '[' nor ';', and a value of at most
    // kNameLimit characters with no white space but blanks and no blank in front (an empty one
    // is written "key ="); or the key commentName and a comment line of 1 to kLineLimit
    // characters; or the key directiveName and a line of 1 to kLineLimit characters that reads
    // as a directive (first a visible character other than '#' and '['; ';' or no key line).
    static bool writable(const std::string& section, const std::string& key,
                         const std::string& value);

private:
    std::vector<Section>::iterator find(const std::string& section);
    std::vector<Section>::const_iterator find(const std::string& section) const;

    std::string path_;
    Content content_;
    bool replaceable_ = true;
};
