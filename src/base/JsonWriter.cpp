#include "base/JsonWriter.h"

#include <cstdio>

#include "base/Common.h"

JsonWriter& JsonWriter::beginObject() {
    return begin('{', '}');
}

JsonWriter& JsonWriter::beginArray() {
    return begin('[', ']');
}

JsonWriter& JsonWriter::begin(char opening, char closing) {
    separate();
    text_ += opening;
    open_.push_back({closing});
    return *this;
}

JsonWriter& JsonWriter::end() {
    if (!open_.empty()) {
        text_ += open_.back().closing;
        open_.pop_back();
    }
    return *this;
}

JsonWriter& JsonWriter::key(const char* name) {
    separate();
    quoted(name);
    text_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(const std::string& text) {
    separate();
    quoted(Common::isUtf8(text) ? text : Common::printable(text));
    return *this;
}

JsonWriter& JsonWriter::integer(int64_t number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::unsignedInteger(uint64_t number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    separate();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    text_ += "null";
    return *this;
}

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!open_.empty()) {
        if (!open_.back().empty) {
            text_ += ',';
        }
        open_.back().empty = false;
    }
}

void JsonWriter::quoted(const std::string& text) {
    text_ += '"';
    for (char c : text) {
        switch (c) {
            case '"':
                text_ += "\\\"";
                break;
            case '\\':
                text_ += "\\\\";
                break;
            case '\n':
                text_ += "\\n";
                break;
            case '\t':
                text_ += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
                    text_ += escaped;
                } else {
                    text_ += c;
                }
        }
    }
    text_ += '"';
}
