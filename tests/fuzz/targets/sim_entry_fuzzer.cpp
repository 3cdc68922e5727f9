// The simulated library's token entry parser on any text: no crash, no hang; a refused entry
// names its line; an accepted one, written back by formatEntry as kxsim writes entries, reads to
// the same entry. On the same bytes: the DER header reader hands out only whole elements of the
// input, base64 and hex round-trip, and an entry file name is a slot id exactly when the slot id
// writes back to that name.

#include "Codec.h"
#include "Der.h"
#include "Entry.h"
#include "Fuzz.h"

// Relative certificate files of an entry are looked up here: a directory that has none.
constexpr const char* kBaseDir = "/nonexistent";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::text(data, size);
    std::string error;
    if (auto entry = kxsim::parseEntry(text, kBaseDir, error)) {
        const std::string written = kxsim::formatEntry(*entry);
        auto reread = kxsim::parseEntry(written, kBaseDir, error);
        REQUIRE(reread && kxsim::formatEntry(*reread) == written);
    } else {
        REQUIRE(error.rfind("line ", 0) == 0);
    }

    if (auto fields = kxsim::readCertificateFields(text)) {
        for (const auto& [element, tag] :
             {std::pair(fields->subject, '\x30'), std::pair(fields->issuer, '\x30'),
              std::pair(fields->serial, '\x02')}) {
            REQUIRE(!element.empty() && element[0] == tag &&
                    text.find(element) != std::string::npos);
        }
    }

    REQUIRE(kxsim::fromBase64(kxsim::toBase64(text)) == text);
    REQUIRE(kxsim::fromHex(kxsim::toHex(text)) == text);
    if (auto decoded = kxsim::fromBase64(text)) {
        REQUIRE(kxsim::fromBase64(kxsim::toBase64(*decoded)) == decoded);
    }

    const std::string name = text.substr(0, text.find('\n'));
    if (auto slot = kxsim::slotFromEntryName(name)) {
        REQUIRE(kxsim::entryName(*slot) == name);
    }
    return 0;
}
