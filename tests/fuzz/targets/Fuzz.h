#pragma once

// What the fuzz targets share: a failed check ends the run with the input kept, and D-Bus
// messages are made from fuzz bytes (FuzzMessage.cpp).

#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#define REQUIRE(holds) ((holds) ? void() : fuzz::fail(#holds, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void fail(const char* check, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, check);
    std::abort();
}

inline std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A method call as it comes off the wire: the bytes when they are a whole marshalled message,
// else a signature and values to fill it, so the decoders see every signature rather than
// libdbus refusing most raw bytes. Null when the bytes hold no valid signature.
Message messageFrom(const uint8_t* data, size_t size);

// The message as the bus would deliver it: marshalled and read back.
Message delivered(DBusMessage* message);

}  // namespace fuzz
