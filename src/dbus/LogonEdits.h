#pragma once

#include <string>
#include <vector>

// The edits the logon configuration methods make to the vendor library's configuration, a PAM
// file and SSSD's configuration: pure functions of a file's lines and the caller's values.
namespace LogonEdits {

using Lines = std::vector<std::string>;

// The file's lines without their terminators; a last line without a newline counts too.
Lines splitLines(const std::string& content);
// Every line followed by a newline.
std::string joinLines(const Lines& lines);

// Whether a caller's value stays on its line: no control character that could end the line and
// start another one in the file it is written to.
bool isOneLine(const std::string& value);

// The vendor library's configuration: "Images = images" and "AppletOrder = order", each in place
// of the first line that mentions its key anywhere, or else as a new first line.
void setAppletOrder(Lines& lines, const std::string& order, const std::string& images);

// A PAM file: every "applet=..." argument (and a bare "applet") names this applet. The name is an
// ECMAScript replacement format, so "$&" and the like keep their meaning. Returns how many
// there were.
size_t setPamApplet(Lines& lines, const std::string& applet);

// SSSD's token filter, "p11_uri = PKCS11:model=...;serial=...".
std::string tokenFilterLine(const std::string& model, const std::string& serial);

enum class FilterEdit {
    AlreadyPresent,  // the same line is there: nothing changed
    Replaced,        // the first filter line (of another token) replaced in place
    Inserted,        // after the first line mentioning [pam]
    Appended,        // no filter and no [pam]: a [pam] section holding it appended at the end
};
FilterEdit setTokenFilter(Lines& lines, const std::string& model, const std::string& serial);

// Removes every line mentioning p11_uri, comments included.
void removeTokenFilters(Lines& lines);

}  // namespace LogonEdits
