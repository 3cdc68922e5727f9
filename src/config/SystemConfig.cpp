#include "config/SystemConfig.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/AtomicFile.h"
#include "base/Common.h"
#include "base/UntrustedFile.h"

SystemConfig::SystemConfig(std::string path) : path_(std::move(path)) {
    std::string text;
    int error = 0;
    // One byte over the limit tells a file that is too large from one that just fits.
    if (!UntrustedFile::read(path_, text, kFileLimit + 1, &error)) {
        // Only a file that is not there may be created; one that is there but could not be read
        // would be lost by writing the empty configuration over it.
        replaceable_ = error == ENOENT;
        return;
    }
    std::optional<Content> content = text.size() <= kFileLimit ? parse(text) : std::nullopt;
    if (!content) {
        replaceable_ = false;
        return;
    }
    content_ = std::move(*content);
}

std::vector<SystemConfig::Section>::iterator SystemConfig::find(const std::string& section) {
    return std::find_if(content_.sections.begin(), content_.sections.end(),
                        [&](const Section& candidate) { return candidate.name == section; });
}

std::vector<SystemConfig::Section>::const_iterator SystemConfig::find(
    const std::string& section) const {
    return std::find_if(content_.sections.begin(), content_.sections.end(),
                        [&](const Section& candidate) { return candidate.name == section; });
}

std::string SystemConfig::get(const std::string& section, const std::string& key) const {
    auto found = find(section);
    if (found == content_.sections.end()) {
        return "";
    }
    for (const Parameter& parameter : found->parameters) {
        if (parameter.key == key) {
            return parameter.value;
        }
    }
    return "";
}

bool SystemConfig::set(const std::string& section, const std::string& key,
                       const std::string& value) {
    if (!writable(section, key, value)) {
        return false;
    }
    auto found = find(section);
    if (found == content_.sections.end()) {
        content_.sections.push_back(Section{section, {Parameter{key, value}}});
        return true;
    }
    for (Parameter& parameter : found->parameters) {
        if (parameter.key == key) {
            parameter.value = value;
            return true;
        }
    }
    found->parameters.push_back(Parameter{key, value});
    return true;
}

void SystemConfig::remove_key(const std::string& section, const std::string& key,
                              bool removeEmptySection) {
    auto found = find(section);
    if (found == content_.sections.end()) {
        return;
    }
    std::vector<Parameter>& parameters = found->parameters;
    auto parameter = std::find_if(parameters.begin(), parameters.end(),
                                  [&](const Parameter& candidate) { return candidate.key == key; });
    if (parameter != parameters.end()) {
        parameters.erase(parameter);
    }
    if (parameters.empty() && removeEmptySection) {
        content_.sections.erase(found);
    }
}

bool SystemConfig::contain_section(const std::string& section) const {
    const std::string wanted = Common::toLower(section);
    return std::any_of(
        content_.sections.begin(), content_.sections.end(),
        [&](const Section& candidate) { return Common::toLower(candidate.name) == wanted; });
}

bool SystemConfig::updateFileConfig() const {
    size_t items = content_.sections.size();
    for (const Section& section : content_.sections) {
        items += section.parameters.size();
    }
    // Grown by set past what the reader takes, the file would count as unreadable next time.
    const std::string text = get_byte_array();
    return replaceable_ && items <= kItemLimit && text.size() <= kFileLimit &&
           AtomicFile::replace(path_, text);
}
