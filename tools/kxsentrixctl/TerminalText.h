#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Text from tokens and certificates, which anyone may have written, made safe for the
// administrator's terminal: nothing in it may move the cursor, recolour, retitle or reorder what
// is shown.
namespace TerminalText {

// A table cell: control characters (C0, DEL, C1) and bytes that are not UTF-8 as \xNN, as
// Common::printable writes them, and the bidirectional embeddings, overrides and isolates
// (U+202A to U+202E, U+2066 to U+2069) the same way.
std::string cell(const std::string& text);

// The value as indented JSON whose strings carry DEL, the C1 controls and the bidirectional
// controls as \u escapes, beside the C0 controls that JSON escapes anyway.
std::string json(const nlohmann::ordered_json& value);

}  // namespace TerminalText
