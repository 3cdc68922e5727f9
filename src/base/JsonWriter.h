#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes one JSON value front to back: the answers of the status and explanation methods, which
// clients parse. Every text is valid UTF-8 JSON whatever it held: control characters are
// escaped, and a text that is not UTF-8 goes out as Common::printable shows it in the log.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& beginArray();
    // Ends the innermost object or array.
    JsonWriter& end();
    // The name of the next member of the current object.
    JsonWriter& key(const char* name);

    JsonWriter& string(const std::string& text);
    JsonWriter& integer(int64_t number);
    JsonWriter& unsignedInteger(uint64_t number);
    JsonWriter& boolean(bool value);
    JsonWriter& null();

    // What was written; whole once every object and array has been ended.
    const std::string& text() const { return text_; }

private:
    struct Open {
        char closing;       // '}' or ']'
        bool empty = true;  // nothing written in it yet
    };

    JsonWriter& begin(char opening, char closing);
    // The comma before a member or element that is not the first (a value after a key has none).
    void separate();
    void quoted(const std::string& text);

    std::string text_;
    std::vector<Open> open_;
    bool afterKey_ = false;
};
