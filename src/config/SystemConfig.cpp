#include "config/SystemConfig.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "log/AtomicFile.h"
#include "log/Common.h"
#include "log/UntrustedFile.h"

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
    if (text.size() > kFileLimit) {
        replaceable_ = false;
        return;
    }
    sections_ = parse(text);
}

std::vector<SystemConfig::Section>::iterator SystemConfig::find(const std::string& section) {
    return std::find_if(sections_.begin(), sections_.end(),
                        [&](const Section& candidate) { return candidate.name == section; });
}

std::vector<SystemConfig::Section>::const_iterator SystemConfig::find(
    const std::string& section) const {
    return std::find_if(sections_.begin(), sections_.end(),
                        [&](const Section& candidate) { return candidate.name == section; });
}

std::string SystemConfig::get(const std::string& section, const std::string& key) const {
    auto found = find(section);
    if (found == sections_.end()) {
        return "";
    }
    for (const Parameter& parameter : found->parameters) {
        if (parameter.key == key) {
            return parameter.value;
        }
    }
    return "";
}

void SystemConfig::set(const std::string& section, const std::string& key,
                       const std::string& value) {
    auto found = find(section);
    if (found == sections_.end()) {
        sections_.push_back(Section{section, {Parameter{key, value}}});
        return;
    }
    for (Parameter& parameter : found->parameters) {
        if (parameter.key == key) {
            parameter.value = value;
            return;
        }
    }
    found->parameters.push_back(Parameter{key, value});
}

void SystemConfig::remove_key(const std::string& section, const std::string& key,
                              bool removeEmptySection) {
    auto found = find(section);
    if (found == sections_.end()) {
        return;
    }
    std::vector<Parameter>& parameters = found->parameters;
    auto parameter = std::find_if(parameters.begin(), parameters.end(),
                                  [&](const Parameter& candidate) { return candidate.key == key; });
    if (parameter != parameters.end()) {
        parameters.erase(parameter);
    }
    if (parameters.empty() && removeEmptySection) {
        sections_.erase(found);
    }
}

bool SystemConfig::contain_section(const std::string& section) const {
    const std::string wanted = Common::toLower(section);
    return std::any_of(sections_.begin(), sections_.end(), [&](const Section& candidate) {
        return Common::toLower(candidate.name) == wanted;
    });
}

bool SystemConfig::updateFileConfig() const {
    return replaceable_ && AtomicFile::replace(path_, get_byte_array());
}
