// The simulated library's token entry parser on any text: no crash and no hang; a refused entry
// names its line; an accepted one, written back by formatEntry (as kxsim writes entries), reads
// to the same entry. Beside it, on the same bytes: the DER header reader hands out only whole
// elements of the input, base64 round-trips, and an entry file name is a slot id exactly when
// the slot id writes back to that name.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Codec.h"
#include "Der.h"
#include "Entry.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// Relative certificate files of an entry are looked up here: a directory that has none.
constexpr const char* kBaseDir = "/nonexistent";

void checkEntry(const std::string& text) {
    std::string error;
    auto entry = kxsim::parseEntry(text, kBaseDir, error);
    if (!entry) {
        require(error.rfind("line ", 0) == 0);
        return;
    }
    const std::string written = kxsim::formatEntry(*entry);
    auto reread = kxsim::parseEntry(written, kBaseDir, error);
    require(reread.has_value());
    require(kxsim::formatEntry(*reread) == written);
}

void checkElement(const std::string& der, const std::string& element, unsigned char tag) {
    require(!element.empty() && static_cast<unsigned char>(element[0]) == tag);
    require(der.find(element) != std::string::npos);
}

void checkDer(const std::string& der) {
    auto fields = kxsim::readCertificateFields(der);
    if (fields) {
        checkElement(der, fields->subject, 0x30);
        checkElement(der, fields->issuer, 0x30);
        checkElement(der, fields->serial, 0x02);
    }
}

void checkCodecs(const std::string& bytes) {
    require(kxsim::fromBase64(kxsim::toBase64(bytes)) == bytes);
    require(kxsim::fromHex(kxsim::toHex(bytes)) == bytes);
    auto decoded = kxsim::fromBase64(bytes);
    if (decoded) {
        require(kxsim::fromBase64(kxsim::toBase64(*decoded)) == decoded);
    }
}

void checkSlotName(const std::string& text) {
    const std::string name = text.substr(0, text.find('\n'));
    auto slot = kxsim::slotFromEntryName(name);
    if (slot) {
        require(kxsim::entryName(*slot) == name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkEntry(text);
    checkDer(text);
    checkCodecs(text);
    checkSlotName(text);
    return 0;
}
