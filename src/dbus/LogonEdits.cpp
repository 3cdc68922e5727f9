#include "dbus/LogonEdits.h"

#include <algorithm>
#include <sstream>

namespace {

constexpr char kFilterPrefix[] = "p11_uri = PKCS11:";
constexpr char kPamSection[] = "[pam]";

bool mentions(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Whether the line sets the key: blanks, the key, blanks, "=". A comment or a longer key that
// holds the key's text is not the key, nor is a value that holds it.
bool setsKey(const std::string& line, const std::string& key) {
    size_t at = 0;
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    if (line.compare(at, key.size(), key) != 0) {
        return false;
    }
    at += key.size();
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    return at < line.size() && line[at] == '=';
}

void setKey(LogonEdits::Lines& lines, const std::string& key, const std::string& value) {
    std::string line = key + " = " + value;
    auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& candidate) {
        return setsKey(candidate, key);
    });
    if (found != lines.end()) {
        *found = line;
    } else {
        lines.insert(lines.begin(), line);
    }
}

}  // namespace

LogonEdits::Lines LogonEdits::splitLines(const std::string& content) {
    Lines lines;
    std::istringstream stream(content);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string LogonEdits::joinLines(const Lines& lines) {
    std::string content;
    for (const std::string& line : lines) {
        content += line;
        content += '\n';
    }
    return content;
}

bool LogonEdits::isOneLine(const std::string& value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

void LogonEdits::setAppletOrder(Lines& lines, const std::string& order, const std::string& images) {
    setKey(lines, "Images", images);
    setKey(lines, "AppletOrder", order);
}

namespace {

constexpr char kApplet[] = "applet";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// \w of an ECMAScript pattern: ASCII letters, digits and the underscore.
bool isWord(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// The end of the match of applet=?-?\w*:?\w* that starts at `at`, where "applet" stands. Each
// part is optional and greedy with nothing after it, so the first choice at each part is the
// match a backtracking matcher finds; walked once, where std::regex recursed per character and
// overflowed the stack on a long word.
size_t argumentEnd(const std::string& line, size_t at) {
    size_t end = at + sizeof(kApplet) - 1;
    auto optional = [&](char c) {
        if (end < line.size() && line[end] == c) {
            ++end;
        }
    };
    auto words = [&] {
        while (end < line.size() && isWord(line[end])) {
            ++end;
        }
    };
    optional('=');
    optional('-');
    words();
    optional(':');
    words();
    return end;
}

// The ECMAScript replacement format applied to one match: $& and $0 the match, $` the text since
// the previous match, $' the rest of the line, $$ a dollar sign; other groups do not exist and
// give nothing; any other $ stays as it is.
void appendFormatted(std::string& out, const std::string& format, const std::string& line,
                     size_t previousEnd, size_t start, size_t end) {
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '$' || i + 1 == format.size()) {
            out += c;
            continue;
        }
        char next = format[i + 1];
        if (next == '$') {
            out += '$';
        } else if (next == '&') {
            out.append(line, start, end - start);
        } else if (next == '`') {
            out.append(line, previousEnd, start - previousEnd);
        } else if (next == '\'') {
            out.append(line, end, std::string::npos);
        } else if (isDigit(next)) {
            bool twoDigits = i + 2 < format.size() && isDigit(format[i + 2]);
            if (next == '0' && !twoDigits) {
                out.append(line, start, end - start);
            } else if (next == '0' && format[i + 2] == '0') {
                out.append(line, start, end - start);
            }
            i += twoDigits ? 1 : 0;
        } else {
            out += '$';
            continue;
        }
        ++i;
    }
}

}  // namespace

size_t LogonEdits::setPamApplet(Lines& lines, const std::string& applet) {
    const std::string format = std::string("applet=") + applet;
    size_t found = 0;
    for (std::string& line : lines) {
        size_t start = line.find(kApplet);
        if (start == std::string::npos) {
            continue;
        }
        std::string edited;
        size_t previousEnd = 0;
        for (; start != std::string::npos; start = line.find(kApplet, previousEnd)) {
            size_t end = argumentEnd(line, start);
            ++found;
            edited.append(line, previousEnd, start - previousEnd);
            appendFormatted(edited, format, line, previousEnd, start, end);
            previousEnd = end;
        }
        edited.append(line, previousEnd, std::string::npos);
        line = std::move(edited);
    }
    return found;
}

std::string LogonEdits::tokenFilterLine(const std::string& model, const std::string& serial) {
    return kFilterPrefix + ("model=" + model) + ";serial=" + serial;
}

LogonEdits::FilterEdit LogonEdits::setTokenFilter(Lines& lines, const std::string& model,
                                                  const std::string& serial) {
    const std::string filter = tokenFilterLine(model, serial);
    if (std::find(lines.begin(), lines.end(), filter) != lines.end()) {
        return FilterEdit::AlreadyPresent;
    }
    auto mentioning = [&](const char* text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return mentions(line, text); });
    };
    auto previous = mentioning(kFilterPrefix);
    if (previous != lines.end()) {
        *previous = filter;
        return FilterEdit::Replaced;
    }
    auto section = mentioning(kPamSection);
    if (section != lines.end()) {
        lines.insert(section + 1, filter);
        return FilterEdit::Inserted;
    }
    // SSSD reads the filter only inside [pam].
    lines.push_back(kPamSection);
    lines.push_back(filter);
    return FilterEdit::Appended;
}

void LogonEdits::removeTokenFilters(Lines& lines) {
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line) { return mentions(line, "p11_uri"); }),
                lines.end());
}
