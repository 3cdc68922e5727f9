#pragma once

// D-Bus messages made from fuzz bytes for the decoders of call arguments and token records.
//
// Bytes that are a whole marshalled message are taken as that message (so a corpus may hold
// real traffic of either byte order). Any other bytes are read as a signature followed by the
// values to fill it: every input then becomes a valid message, with the signature (what the
// decoders branch on) fully fuzzed, variants and nesting included, and the values drawn from the
// rest of the bytes. Demarshalling raw bytes alone would spend almost every run in libdbus's
// own validation of the header, padding and lengths, and reach the decoders rarely.

#include <dbus/dbus.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace fuzz {

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A method call to the daemon's interface as it comes off the wire; null when the bytes hold
// no valid signature.
Message messageFrom(const uint8_t* data, size_t size);

// The message as the bus would deliver it: marshalled and read back.
Message delivered(DBusMessage* message);

}  // namespace fuzz
