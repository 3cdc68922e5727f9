// The text form of an INI file: a line reader with item limits, the writer of the normalised
// layout, and the rule of what the writer can give back. No file access here.

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <utility>

#include "config/SystemConfig.h"
#include "base/Common.h"

using Content = SystemConfig::Content;
using Parameter = SystemConfig::Parameter;
using Section = SystemConfig::Section;

const std::string SystemConfig::commentName = "comment-string";
const std::string SystemConfig::directiveName = "directive-string";

namespace {

const std::string kByteOrderMark = "\xEF\xBB\xBF";

// The key of a key line of a section (one that starts with a visible character other than '#'
// and '['): the characters before its first '=' less white space. Empty when the line is no key
// line: a ';' comment, no '=', nothing but white space before it.
std::string keyOf(const std::string& line) {
    size_t equals = line.find('=');
    std::string key;
    if (line[0] == ';' || equals == std::string::npos) {
        return key;
    }
    std::copy_if(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(equals),
                 std::back_inserter(key), [](char c) { return !Common::isSpace(c); });
    return key;
}

// Whether the text, written after a '#', reads back as itself as a comment.
bool readsAsComment(const std::string& text) {
    return !text.empty() && text.size() <= SystemConfig::kLineLimit &&
           text.find('\n') == std::string::npos;
}

// Whether the line, written as it is, reads back as itself as a directive: before the first
// section any visible first character but '#' and '[' will do; inside one, no key line either.
bool readsAsLine(const std::string& line, bool inSection) {
    return !line.empty() && line.size() <= SystemConfig::kLineLimit &&
           line.find('\n') == std::string::npos && !Common::isSpace(line[0]) && line[0] != '#' &&
           line[0] != '[' && (!inSection || keyOf(line).empty());
}

// Reads a text line by line; no item goes past the end of its line.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    std::optional<Content> read() {
        size_t start = 0;
        if (text_.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
            content_.byteOrderMark = true;
            start = kByteOrderMark.size();
        }
        while (start < text_.size() && items_ <= SystemConfig::kItemLimit) {
            size_t end = std::min(text_.find('\n', start), text_.size());
            readLine(text_.substr(start, end - start));
            start = end + 1;
        }
        if (items_ > SystemConfig::kItemLimit) {
            return std::nullopt;
        }
        return std::move(content_);
    }

private:
    std::vector<Section>& sections() { return content_.sections; }

    static size_t skipSpace(const std::string& line, size_t at) {
        while (at < line.size() && Common::isSpace(line[at])) {
            ++at;
        }
        return at;
    }

    void readLine(const std::string& line) {
        size_t at = skipSpace(line, 0);
        // The rest of a section's line after its ']' goes on as a line of its body.
        while (at < line.size() && line[at] == '[') {
            at = skipSpace(line, readHeader(line, at + 1));
        }
        if (at == line.size()) {
            return;
        }
        std::string rest = line.substr(at);
        if (rest[0] == '#') {
            std::string comment = rest.substr(1, SystemConfig::kLineLimit);
            if (!comment.empty()) {
                add(SystemConfig::commentName, std::move(comment));
            }
        } else if (!inSection_) {
            add(SystemConfig::directiveName, rest.substr(0, SystemConfig::kLineLimit));
        } else {
            readKeyLine(rest);
        }
    }

    // The section whose name starts at `at`; returns where the line goes on. An empty name
    // ("[ ]") stores nothing and the line goes on at its ']': before the first section as a
    // line of its own, after one in the body of the section before.
    size_t readHeader(const std::string& line, size_t at) {
        std::string name;
        for (; at < line.size() && line[at] != ']'; ++at) {
            if (Common::isSpace(line[at])) {
                continue;
            }
            if (name.size() == SystemConfig::kNameLimit) {
                at = line.size();  // the name is cut and the rest of its line dropped
                break;
            }
            name += line[at];
        }
        if (name.empty()) {
            return at;
        }
        sections().push_back(Section{std::move(name), {}});
        ++items_;
        inSection_ = true;
        return std::min(at + 1, line.size());
    }

    void readKeyLine(const std::string& line) {
        std::string key = keyOf(line);
        if (key.empty()) {
            add(SystemConfig::directiveName, line.substr(0, SystemConfig::kLineLimit));
            return;
        }
        if (key.size() > SystemConfig::kNameLimit) {
            return;  // cut at the limit it would have no '=' and no value: nothing to store
        }
        // Blanks stay, other white space goes; leading white space is no part of the value.
        std::string value;
        for (size_t at = skipSpace(line, line.find('=') + 1);
             at < line.size() && value.size() < SystemConfig::kNameLimit; ++at) {
            if (!Common::isSpace(line[at]) || line[at] == ' ') {
                value += line[at];
            }
        }
        add(std::move(key), std::move(value));
    }

    // A parameter of the current section, or before the first section one of its own.
    void add(std::string key, std::string value) {
        if (!inSection_) {
            sections().push_back(Section{key, {}});
            ++items_;
        }
        sections().back().parameters.push_back(Parameter{std::move(key), std::move(value)});
        ++items_;
    }

    const std::string& text_;
    Content content_;
    size_t items_ = 0;
    bool inSection_ = false;
};

bool isBare(const Section& section, const std::string& name) {
    return section.name == name && section.parameters.size() == 1 &&
           section.parameters[0].key == name;
}

// Whether the section reads back as itself when written as a bare comment or directive line:
// its reserved shape, before any bracketed section, and a directive that does not look like a
// comment or a section.
bool writesBare(const Section& section) {
    return (isBare(section, SystemConfig::commentName) &&
            readsAsComment(section.parameters[0].value)) ||
           (isBare(section, SystemConfig::directiveName) &&
            readsAsLine(section.parameters[0].value, false));
}

std::string formatParameter(const Parameter& parameter) {
    if (parameter.key == SystemConfig::commentName && readsAsComment(parameter.value)) {
        return "#" + parameter.value + "\n";
    }
    if (parameter.key == SystemConfig::directiveName && readsAsLine(parameter.value, true)) {
        return parameter.value + "\n";
    }
    // An empty value is written without the blank after '=', which would be dropped anyway.
    return parameter.key + (parameter.value.empty() ? " =" : " = " + parameter.value) + "\n";
}

}  // namespace

std::optional<Content> SystemConfig::parse(const std::string& text) {
    return Reader(text).read();
}

std::string SystemConfig::format(const Content& content) {
    std::string text;
    bool bracketed = false;
    for (const Section& section : content.sections) {
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
            text += formatParameter(parameter);
        }
        text += "\n";
    }
    if (content.byteOrderMark) {
        text.insert(0, kByteOrderMark);
    } else if (text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
        // A first line that begins with the mark's bytes would lose them as the mark.
        text.insert(0, "\n");
    }
    return text;
}

bool SystemConfig::writable(const std::string& section, const std::string& key,
                            const std::string& value) {
    auto any = [](const std::string& text, auto predicate) {
        return std::any_of(text.begin(), text.end(), predicate);
    };
    if (section.empty() || section.size() > kNameLimit || section == commentName ||
        section == directiveName ||
        any(section, [](char c) { return c == ']' || Common::isSpace(c); })) {
        return false;
    }
    if (key == commentName) {
        return readsAsComment(value);
    }
    if (key == directiveName) {
        return readsAsLine(value, true);
    }
    if (key.empty() || key.size() > kNameLimit || key[0] == '#' || key[0] == '[' || key[0] == ';' ||
        any(key, [](char c) { return c == '=' || Common::isSpace(c); })) {
        return false;
    }
    return value.size() <= kNameLimit && (value.empty() || value[0] != ' ') &&
           !any(value, [](char c) { return c != ' ' && Common::isSpace(c); });
}
