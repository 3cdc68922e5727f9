// The INI reader on any text: no crash, no hang, and the sections come back the same when read
// from what the writer makes of them.

#include "Fuzz.h"
#include "config/SystemConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto sections = SystemConfig::parse(fuzz::text(data, size));
    REQUIRE(SystemConfig::parse(SystemConfig::format(sections)) == sections);
    return 0;
}
