#pragma once

#include <string>
#include <vector>

// Columns aligned for a terminal. Cells are escaped with TerminalText::cell, since they come from
// tokens and certificates that anyone may have written, and measured in characters, not bytes,
// so Cyrillic labels line up.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> headers);

    void addRow(std::vector<std::string> cells);
    // Header and rows, columns two blanks apart, each line without trailing blanks.
    std::string render() const;

    // Characters of valid UTF-8 text (continuation bytes do not count).
    static size_t width(const std::string& text);

private:
    std::vector<std::vector<std::string>> rows_;
};
