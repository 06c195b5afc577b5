// SyncChannel: the framed property-list messages of one AirTraffic connection, as the phone side reads and writes them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "PlistHolder.h"

namespace ruvo::phone {

// A message is a 4-byte little-endian length and that many bytes of property list, from 1 byte
// to 16 MiB. The phone sends binary property lists and accepts XML or binary.
inline constexpr uint32_t kMaxSyncMessage = 16 * 1024 * 1024;

enum class Received {
    Message,   // a dictionary arrived
    Closed,    // the peer closed (or the connection was shut down)
    Garbage,   // a length out of range or a body that is no dictionary: the stream is lost
    TimedOut,  // nothing complete arrived before the deadline
};

class SyncChannel {
public:
    using Clock = std::chrono::steady_clock;

    // fd is borrowed: whoever made the channel closes it.
    explicit SyncChannel(int fd) : m_fd(fd) {}

    // The next message, when it is complete before the deadline. Several messages may come in
    // one read and one message over many; what follows a message stays for the next call.
    Received Receive(PlistHolder& message, Clock::time_point deadline);
    // Sends the message dictionary as one binary property list; false when the peer is gone.
    bool Send(plist_t message);
    // Reads and drops whatever arrives until the peer closes or the deadline passes.
    void DrainUntilClosed(Clock::time_point deadline);
    // Waits up to timeoutMs for the peer to hang up, without reading what it sent; true when
    // it has.
    bool PeerHungUp(int timeoutMs);

private:
    // Reads what is there (waiting until the deadline for something); the failure otherwise.
    Received Fill(Clock::time_point deadline);

    const int m_fd;
    std::string m_buffer;  // bytes received and not yet taken as a message
};

}  // namespace ruvo::phone
