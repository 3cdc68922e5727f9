// The simulated library's token entry parser on any text: no crash, no hang; a refused entry
// names its line; an accepted one, written back by formatEntry as kxsim writes entries, reads to
// the same entry. On the same bytes: the DER header reader hands out only whole elements of the
// input, base64 and hex round-trip, and an entry file name is a slot id exactly when the slot id
// writes back to that name.

#include "Codec.h"
#include "Der.h"
#include "Entry.h"
#include "Fuzz.h"

namespace {

// Relative certificate files of an entry are looked up here: a directory that has none.
constexpr const char* kBaseDir = "/nonexistent";

void checkElement(const std::string& der, const std::string& element, unsigned char tag) {
    REQUIRE(!element.empty() && static_cast<unsigned char>(element[0]) == tag);
    REQUIRE(der.find(element) != std::string::npos);
}

}  // namespace

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
        checkElement(text, fields->subject, 0x30);
        checkElement(text, fields->issuer, 0x30);
        checkElement(text, fields->serial, 0x02);
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
