// PlistStream: reading and writing whole messages on a phone-side stream: exact reads with a time bound, and property lists framed by a big-endian length.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "PlistHolder.h"

namespace ruvo::phone {

// Reads exactly length bytes; false at the end of the stream, on an error, or when the whole read
// takes longer than timeoutMs (a negative timeoutMs waits as long as it takes).
bool ReadExact(int fd, char* buffer, size_t length, int timeoutMs);
// Writes every byte; false when the peer is gone (never SIGPIPE).
bool WriteAll(int fd, const char* data, size_t length);

// The node as XML; empty when it cannot be written.
std::string ToXml(plist_t node);

enum class FrameRead {
    Message,    // a dictionary arrived
    Closed,     // the stream ended (or timed out) before a message began or while it arrived
    Malformed,  // a length of 0 or over the bound, or a body that is no dictionary
};
// One message framed by a 4-byte big-endian length: the property list (XML or binary) of at most
// maxLength bytes, checked before libplist reads it (XML holding a NUL byte is malformed).
FrameRead ReadFramedPlist(int fd, uint32_t maxLength, int timeoutMs, PlistHolder& message);
// Sends the node as XML framed by its 4-byte big-endian length.
bool SendFramedPlist(int fd, plist_t node);

}  // namespace ruvo::phone
