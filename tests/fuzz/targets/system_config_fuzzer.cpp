// The INI reader on any text: it ends without a crash or a hang, and the sections it reads come
// back the same when read from what the writer makes of them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/SystemConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<SystemConfig::Section> sections = SystemConfig::parse(text);
    if (SystemConfig::parse(SystemConfig::format(sections)) != sections) {
        std::abort();
    }
    return 0;
}
