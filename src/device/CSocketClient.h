// CSocketClient: the socket of a device service, and the length-framed property-list messages on it.
#pragma once

#include <cstdint>

#include "AppleTypes.h"

// A message is a 4-byte big-endian length and an XML property list. Every receive is bounded:
// a peer that says nothing for the receive bound (30 s; RUVO_RECEIVE_TIMEOUT_MS shortens it)
// fails the receive, and an announced body over kMaxPlistMessage is refused before anything is
// allocated. Sends never raise SIGPIPE.
class CSocketClient {
public:
    static constexpr uint32_t kMaxPlistMessage = 16 * 1024 * 1024;
    static constexpr int kReceiveTimeoutMs = 30000;

    CSocketClient() = default;
    virtual ~CSocketClient();

    CSocketClient(const CSocketClient&) = delete;
    CSocketClient& operator=(const CSocketClient&) = delete;

    bool SendAll(const char* data, int length);
    bool ReceiveAll(char* buffer, int length);
    bool SendPlist(apple::CFPropertyListRef plist);
    // The received property list (mutable containers), which the caller releases; null on failure.
    apple::CFPropertyListRef ReceivePlist();
    void CloseSocket();

    int Socket() const { return m_socket; }

protected:
    int m_socket = 0;  // 0 when none, as the library never hands out descriptor 0 for a service
};
