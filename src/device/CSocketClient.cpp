// CSocketClient: whole sends and bounded whole receives on a service socket, and plist framing.
#include "CSocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AppleApi.h"
#include "WaitBound.h"

using namespace apple;

namespace {

// A receive on a service socket fails after this long without a byte (30 s);
// RUVO_RECEIVE_TIMEOUT_MS may shorten it, never lengthen it.
int ReceiveTimeoutMs() {
    static const int bound = ruvo::WaitBoundMs(ruvo::kReceiveTimeoutVariable, CSocketClient::kReceiveTimeoutMs);
    return bound;
}

}  // namespace

CSocketClient::~CSocketClient() { CloseSocket(); }

bool CSocketClient::SendAll(const char* data, int length) {
    if (m_socket == 0 || length < 0) return false;
    int sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(m_socket, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<int>(n);
    }
    return sent == length;
}

bool CSocketClient::ReceiveAll(char* buffer, int length) {
    if (m_socket == 0 || length < 0) return false;
    const int timeoutMs = ReceiveTimeoutMs();
    int got = 0;
    while (got < length) {
        pollfd p{m_socket, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;  // silence for the whole bound, or a failed wait
        const ssize_t n = ::recv(m_socket, buffer + got, static_cast<size_t>(length - got), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        got += static_cast<int>(n);
    }
    return true;
}

bool CSocketClient::SendPlist(CFPropertyListRef plist) {
    if (!plist || !AppleApi.CFPropertyListCreateXMLData) return false;
    CFDataRef data = AppleApi.CFPropertyListCreateXMLData(nullptr, plist);
    if (!data) return false;
    const CFIndex length = AppleApi.CFDataGetLength(data);
    bool sent = false;
    if (length >= 0 && length <= static_cast<CFIndex>(kMaxPlistMessage)) {
        const auto n = static_cast<uint32_t>(length);
        const char header[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                                static_cast<char>(n)};
        if (SendAll(header, 4))
            sent = SendAll(reinterpret_cast<const char*>(AppleApi.CFDataGetBytePtr(data)), static_cast<int>(n));
    }
    AppleApi.CFRelease(data);
    return sent;
}

CFPropertyListRef CSocketClient::ReceivePlist() {
    unsigned char header[4];
    if (!ReceiveAll(reinterpret_cast<char*>(header), 4)) return nullptr;
    const uint32_t length =
        (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) | uint32_t{header[3]};
    // A length beyond any real reply is a broken or hostile peer: nothing is allocated for it.
    if (length > kMaxPlistMessage) return nullptr;
    std::string body(length, '\0');
    CFPropertyListRef result = nullptr;
    if (ReceiveAll(body.data(), static_cast<int>(length)) && AppleApi.CFDataCreate) {
        CFDataRef data =
            AppleApi.CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(body.data()), static_cast<CFIndex>(length));
        if (data) {
            result = AppleApi.CFPropertyListCreateFromXMLData(nullptr, data, kCFPropertyListMutableContainers, nullptr);
            AppleApi.CFRelease(data);
        }
    }
    std::memset(body.data(), 0, body.size());
    return result;
}

void CSocketClient::CloseSocket() {
    if (m_socket != 0) ::close(m_socket);
    m_socket = 0;
}
