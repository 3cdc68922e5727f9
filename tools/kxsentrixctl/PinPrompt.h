#pragma once

#include <optional>
#include <string>

// Asks for a PIN on the controlling terminal with echo off, whatever standard input and output
// are, and puts the terminal back as it was also when the user interrupts the prompt.
class PinPrompt {
public:
    // The line typed, without its newline; nothing when there is no terminal to ask on or it
    // closed first (`problem` says which).
    static std::optional<std::string> ask(const std::string& prompt, std::string& problem);
};
