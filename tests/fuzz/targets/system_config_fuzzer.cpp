// The INI reader on any text: no crash, no hang, and the content comes back the same when read
// from what the writer makes of it, also after a set: what set takes, the file gives back.
// Input: the text; after a NUL, the section, key and value for set, separated by NULs.

#include <sys/mman.h>
#include <unistd.h>

#include <sstream>

#include "Fuzz.h"
#include "config/SystemConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = fuzz::text(data, size);
    if (const auto content = SystemConfig::parse(input)) {
        REQUIRE(SystemConfig::parse(SystemConfig::format(*content)) == content);
    }
    std::istringstream fields(input);
    std::string text, section, key, value;
    for (std::string* field : {&text, &section, &key, &value}) {
        std::getline(fields, *field, '\0');
    }
    // The configuration reads its file: one in memory, seen through /proc.
    int fd = memfd_create("system_config", MFD_CLOEXEC);
    REQUIRE(fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    SystemConfig config("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    if (config.set(section, key, value)) {
        REQUIRE(config.get(section, key) == value);
        REQUIRE(SystemConfig::parse(config.get_byte_array()) == config.content());
    }
    return 0;
}
