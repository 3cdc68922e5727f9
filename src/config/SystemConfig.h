#pragma once

#include <cstddef>
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
    // A line before the first section that is neither a comment nor a section: a section of
    // this name holding one parameter of this key whose value is the whole line.
    static const std::string directiveName;  // "directive-string"

    // Limits of one item; a longer one is cut there and the rest of its line read as what
    // follows it.
    static constexpr size_t kNameLimit = 1000;   // section names, keys, values
    static constexpr size_t kLineLimit = 10000;  // comments, directives
    // A larger file is not read (nor replaced).
    static constexpr size_t kFileLimit = 4 * 1024 * 1024;

    // Reads the file at path. A missing file gives an empty configuration that
    // updateFileConfig creates; a file that cannot be read (a directory, a FIFO, one larger than
    // kFileLimit, a read error) gives an empty configuration that updateFileConfig leaves alone.
    explicit SystemConfig(std::string path);

    // The value of key in the first section called section (both case-sensitive); empty when
    // either is missing.
    std::string get(const std::string& section, const std::string& key) const;
    // Replaces the first such value, or appends the parameter to the first such section, or
    // appends a new section at the end. A value must be a single line: it is written as is.
    void set(const std::string& section, const std::string& key, const std::string& value);
    // Erases the first such parameter from the first such section, then the section itself when
    // it has no parameters left and removeEmptySection is set.
    void remove_key(const std::string& section, const std::string& key, bool removeEmptySection);
    // Whether a section of this name exists, letters compared without case.
    bool contain_section(const std::string& section) const;
    // No sections at all (comments and lines before the first section count as sections).
    bool empty() const { return sections_.empty(); }
    const std::vector<Section>& sections() const { return sections_; }

    // The file text in the normalised layout.
    std::string get_byte_array() const { return format(sections_); }
    // Replaces the file atomically with get_byte_array(): readers see the old file or the new
    // one, never a part. False when it could not, or when the file was there but unreadable.
    bool updateFileConfig() const;

    // The text form, shared with tests and the fuzzer: format(parse(text)) is the normalised
    // text, and parse(format(sections)) gives the same sections for whatever parse returned.
    static std::vector<Section> parse(const std::string& text);
    static std::string format(const std::vector<Section>& sections);

private:
    std::vector<Section>::iterator find(const std::string& section);
    std::vector<Section>::const_iterator find(const std::string& section) const;

    std::string path_;
    std::vector<Section> sections_;
    bool replaceable_ = true;
};
