#include "dbus/LogonEdits.h"

#include <algorithm>
#include <regex>
#include <sstream>

namespace {

constexpr char kFilterPrefix[] = "p11_uri = PKCS11:";
constexpr char kPamSection[] = "[pam]";

bool mentions(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

void setKey(LogonEdits::Lines& lines, const std::string& key, const std::string& value) {
    std::string line = key + " = " + value;
    auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& candidate) {
        return mentions(candidate, key.c_str());
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

void LogonEdits::setPamApplet(Lines& lines, const std::string& applet) {
    static const std::regex argument("applet=?-?\\w*:?\\w*");
    for (std::string& line : lines) {
        line = std::regex_replace(line, argument, "applet=" + applet);
    }
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
