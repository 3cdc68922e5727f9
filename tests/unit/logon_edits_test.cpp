// The line edits of the logon configuration methods and the filter of the domain diagnostics'
// journal output, as text in and text out. (The domain check's answer for each way adcli ends:
// test_logon_methods.py.)
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dbus/DomainDiagnostics.h"
#include "dbus/LogonEdits.h"

namespace {

using Edit = std::function<void(LogonEdits::Lines&)>;

void setOrder(LogonEdits::Lines& lines) {
    LogonEdits::setAppletOrder(lines, "Forte,Quill", "1");
}
void setApplet(LogonEdits::Lines& lines) {
    LogonEdits::setPamApplet(lines, "Forte");
}
void setFilter(LogonEdits::Lines& lines) {
    LogonEdits::setTokenFilter(lines, "Korvex Quill", "0042");
}

}  // namespace

TEST(LogonEditsTest, OnlyValuesWithoutControlCharactersStayOnTheirLine) {
    for (const char* value : {"", "Корвекс Quill", "x; touch /tmp/pwned"}) {
        EXPECT_TRUE(LogonEdits::isOneLine(value)) << value;
    }
    for (const char* value : {"Forte\nauth sufficient pam_permit.so", "tab\there", "del\x7f"}) {
        EXPECT_FALSE(LogonEdits::isOneLine(value)) << value;
    }
}

// The plain edits of each file: test_logon_methods.py, through the running daemon.
TEST(LogonEditsTest, LinesEditedInTheFilesOwnTerms) {
    const std::string filter = "p11_uri = PKCS11:model=Korvex Quill;serial=0042";
    const struct {
        Edit edit;
        std::string file, result;
    } cases[] = {
        // A key counts at the start of a line (after blanks) before blanks and "=": not in a
        // comment, a longer key or a value.
        {setOrder, "# Images are shown when...\n\tImages=0\nImages = 2\n",
         "AppletOrder = Forte,Quill\n# Images are shown when...\nImages = 1\nImages = 2\n"},
        {setOrder, "OldAppletOrder = x\nImages = AppletOrder-logo.png\n AppletOrder = y\n",
         "OldAppletOrder = x\nImages = 1\nAppletOrder = Forte,Quill\n"},
        {setApplet, "auth x.so applet=-a:b try applet=c\naccount y.so\n",
         "auth x.so applet=Forte try applet=Forte\naccount y.so\n"},
        // One long word is matched without a stack frame per character.
        {setApplet, "auth x.so applet=" + std::string(300000, 'w') + "\n",
         "auth x.so applet=Forte\n"},
        // The name is a replacement format: the match, the text before it since the last match,
        // the rest of the line, a dollar sign; groups that do not exist give nothing.
        {[](LogonEdits::Lines& lines) { LogonEdits::setPamApplet(lines, "[$&|$`|$'|$$|$1|$x]"); },
         "a applet=Q b applet c",
         "a applet=[applet=Q|a | b applet c|$||$x] b applet=[applet| b | c|$||$x] c\n"},
        {setFilter, "[pam]\np11_uri = PKCS11:model=Other;serial=1\n#p11_uri = PKCS11:old\n",
         "[pam]\n" + filter + "\n#p11_uri = PKCS11:old\n"},
        {setFilter, "[sssd]\nservices = nss\n", "[sssd]\nservices = nss\n[pam]\n" + filter + "\n"},
        // Reset: every line mentioning the filter goes, comments too.
        {LogonEdits::removeTokenFilters, "[pam]\np11_uri = PKCS11:x\n# p11_uri = old\nx = 1\n",
         "[pam]\nx = 1\n"},
    };
    for (const auto& c : cases) {
        LogonEdits::Lines lines = LogonEdits::splitLines(c.file);
        c.edit(lines);
        EXPECT_EQ(LogonEdits::joinLines(lines), c.result) << c.file;
    }
}

TEST(DomainDiagnosticsTest, AuthResultsKeepTheLinesTailFromTheSearchedText) {
    struct Case {
        std::string output;
        std::string kept;
    } cases[] = {
        {"", ""},
        {"a pam_sss(sshd:auth): received for user ivanov: 0 (Success)\nb\n",
         "received for user ivanov: 0 (Success)\n"},
        {"x received for user a received for user b\nreceived for user c",
         "received for user a received for user b\nreceived for user c\n"},
        {"received for use\nr\n", ""},
        {std::string(100000, 'x') + "received for user " + std::string(100000, 'y') + "\n",
         "received for user " + std::string(100000, 'y') + "\n"},
    };
    for (const Case& c : cases) {
        // Pieces of every size: the searched text and lines split anywhere between reads.
        for (size_t size : {c.output.size() + 1, size_t{7}, size_t{1}}) {
            DomainDiagnostics::AuthResultFilter filter;
            std::string kept;
            for (size_t start = 0; start < c.output.size(); start += size) {
                kept += filter.feed(c.output.substr(start, size));
            }
            kept += filter.finish();
            EXPECT_EQ(kept, c.kept) << c.output.substr(0, 60) << " in pieces of " << size;
            EXPECT_EQ(filter.matched(), !c.kept.empty()) << c.output.substr(0, 60);
        }
    }
}
