// The text form of an INI file: a character-level reader with item limits, and the writer of
// the normalised layout. No file access here, so the fuzzer links this file alone.

#include <utility>

#include "config/SystemConfig.h"
#include "log/Common.h"

using Parameter = SystemConfig::Parameter;
using Section = SystemConfig::Section;

const std::string SystemConfig::commentName = "comment-string";
const std::string SystemConfig::directiveName = "directive-string";

namespace {

// Reads one text position by position. An item stops at its delimiter (left unread), at its
// limit (the next character then starts the next item, so nothing is lost or read twice) or
// at the end of the text.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    std::vector<Section> read() {
        while (skipSpace()) {
            if (next('#')) {
                std::string comment = raw('\n', SystemConfig::kLineLimit);
                if (!comment.empty()) {
                    addBare(SystemConfig::commentName, std::move(comment));
                }
            } else if (next('[')) {
                readSection();
            } else {
                addBare(SystemConfig::directiveName, raw('\n', SystemConfig::kLineLimit));
            }
        }
        return std::move(sections_);
    }

private:
    bool atEnd() const { return pos_ >= text_.size(); }

    // Skips white space, newlines included; false at the end of the text.
    bool skipSpace() {
        while (!atEnd() && Common::isSpace(text_[pos_])) {
            ++pos_;
        }
        return !atEnd();
    }

    // Steps past c when it is the current character.
    bool next(char c) {
        if (atEnd() || text_[pos_] != c) {
            return false;
        }
        ++pos_;
        return true;
    }

    // Every character up to the delimiter.
    std::string raw(char delimiter, size_t limit) {
        size_t start = pos_;
        while (!atEnd() && text_[pos_] != delimiter && pos_ - start < limit) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    // After leading white space (newlines included), the characters up to the delimiter less
    // white space, except blanks when keepBlank is set. Dropped characters do not count
    // towards the limit.
    std::string token(char delimiter, size_t limit, bool keepBlank) {
        skipSpace();
        std::string text;
        while (!atEnd() && text_[pos_] != delimiter && text.size() < limit) {
            char c = text_[pos_++];
            if (!Common::isSpace(c) || (keepBlank && c == ' ')) {
                text += c;
            }
        }
        return text;
    }

    void addBare(const std::string& name, std::string value) {
        sections_.push_back(Section{name, {Parameter{name, std::move(value)}}});
    }

    bool haveRealSection() const { return realSections_ > 0; }

    void readSection() {
        std::string name = token(']', SystemConfig::kNameLimit, false);
        if (name.empty()) {
            // "[]": before any section the ']' starts a line of its own. After one, it goes on
            // in the body of the section before; a line of its own there could not be written
            // back where it was read.
            if (haveRealSection()) {
                readBody(sections_.size() - 1);
            }
            return;
        }
        // A name cut at its limit still takes a ']' that follows it.
        skipSpace();
        next(']');
        sections_.push_back(Section{std::move(name), {}});
        ++realSections_;
        readBody(sections_.size() - 1);
    }

    void readBody(size_t section) {
        while (skipSpace() && text_[pos_] != '[') {
            if (next('#')) {
                std::string comment = raw('\n', SystemConfig::kLineLimit);
                if (!comment.empty()) {
                    add(section, SystemConfig::commentName, std::move(comment));
                }
                continue;
            }
            // White space never ends a key: a line without '=' runs on into the next lines.
            std::string key = token('=', SystemConfig::kNameLimit, false);
            if (key.empty()) {
                next('=');  // the rest of the line starts the next key
                continue;
            }
            // A key cut at its limit still takes an '=' that follows it.
            skipSpace();
            if (!next('=')) {
                continue;  // at the end of the text, or after a key cut at its limit
            }
            std::string value = token('\n', SystemConfig::kNameLimit, true);
            if (!value.empty()) {
                add(section, std::move(key), std::move(value));
            }
        }
    }

    void add(size_t section, std::string key, std::string value) {
        sections_[section].parameters.push_back(Parameter{std::move(key), std::move(value)});
    }

    const std::string& text_;
    size_t pos_ = 0;
    std::vector<Section> sections_;
    size_t realSections_ = 0;
};

bool isBare(const Section& section, const std::string& name) {
    return section.name == name && section.parameters.size() == 1 &&
           section.parameters[0].key == name;
}

// Whether the section reads back as itself when written as a bare comment or directive line:
// its reserved shape, before any bracketed section, and a directive that does not look like a
// comment or a section.
bool writesBare(const Section& section) {
    if (isBare(section, SystemConfig::commentName)) {
        return true;
    }
    if (!isBare(section, SystemConfig::directiveName)) {
        return false;
    }
    const std::string& line = section.parameters[0].value;
    return !line.empty() && line[0] != '#' && line[0] != '[' && !Common::isSpace(line[0]);
}

}  // namespace

std::vector<Section> SystemConfig::parse(const std::string& text) {
    return Reader(text).read();
}

std::string SystemConfig::format(const std::vector<Section>& sections) {
    std::string text;
    bool bracketed = false;
    for (const Section& section : sections) {
        if (!bracketed && writesBare(section)) {
            const std::string& value = section.parameters[0].value;
            text += (section.name == commentName ? "#" : "") + value + "\n";
            continue;
        }
        // Once a section is open every line belongs to it, so a reserved section after one is
        // written bracketed; it reads back as the same section.
        bracketed = true;
        text += "[" + section.name + "]\n";
        for (const Parameter& parameter : section.parameters) {
            if (parameter.key == commentName) {
                text += "#" + parameter.value + "\n";
            } else {
                text += parameter.key + " = " + parameter.value + "\n";
            }
        }
        text += "\n";
    }
    return text;
}
