#pragma once

#include <dbus/dbus.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "token/Token.h"

// The daemon's token list as the administrator reads it.
namespace TokenView {

// The records of an "allTokens" answer, read with the project's own decoder; nothing when the
// answer is not a token list.
std::optional<std::vector<Token::Info>> decode(DBusMessage* answer);

// One row per token: slot, label, model, applet, serial number, profiles, certificate subjects;
// then a line for each token that carries a message for its user.
std::string table(const std::vector<Token::Info>& tokens);

// Every field of every record, named as in Token::Info, Token::Profile and Certificate.
nlohmann::ordered_json json(const std::vector<Token::Info>& tokens);

}  // namespace TokenView
