// SyncChannel: framing, bounded receives and sends of the AirTraffic messages on the phone side.
#include "SyncChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "PlistInput.h"

namespace ruvo::phone {
namespace {

constexpr size_t kHeaderSize = 4;
constexpr size_t kReadChunk = 64 * 1024;

uint32_t ReadLittleEndian32(const std::string& bytes) {
    uint32_t value = 0;
    for (size_t i = kHeaderSize; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

int MillisecondsLeft(SyncChannel::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SyncChannel::Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1'000'000));
}

}  // namespace

Received SyncChannel::Fill(Clock::time_point deadline) {
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Received::Closed;
        if (ready == 0) return Received::TimedOut;
        char chunk[kReadChunk];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return Received::Closed;
        m_buffer.append(chunk, static_cast<size_t>(got));
        return Received::Message;
    }
}

Received SyncChannel::Receive(PlistHolder& message, Clock::time_point deadline) {
    for (;;) {
        if (m_buffer.size() >= kHeaderSize) {
            const uint32_t length = ReadLittleEndian32(m_buffer);
            if (length == 0 || length > kMaxSyncMessage) return Received::Garbage;
            if (m_buffer.size() >= kHeaderSize + length) {
                PlistHolder body =
                    ParsePlistInput(std::string_view(m_buffer).substr(kHeaderSize, length), PlistFormats::XmlOrBinary);
                m_buffer.erase(0, kHeaderSize + length);
                if (!body || plist_get_node_type(body.get()) != PLIST_DICT) return Received::Garbage;
                message = std::move(body);
                return Received::Message;
            }
        }
        if (const Received got = Fill(deadline); got != Received::Message) return got;
    }
}

bool SyncChannel::Send(plist_t message) {
    const std::string body = ToBinary(message);
    if (body.empty()) return false;
    std::string frame;
    const auto length = static_cast<uint32_t>(body.size());
    for (size_t i = 0; i < kHeaderSize; ++i) frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    frame += body;
    size_t done = 0;
    while (done < frame.size()) {
        // MSG_NOSIGNAL: a host that went away must not take the whole process down with SIGPIPE.
        const ssize_t sent = ::send(m_fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

void SyncChannel::DrainUntilClosed(Clock::time_point deadline) {
    while (Fill(deadline) == Received::Message) m_buffer.clear();
}

bool SyncChannel::PeerHungUp(int timeoutMs) {
    // POLLRDHUP alone: data the host sent meanwhile does not end the wait, a hang-up does.
    pollfd p{m_fd, POLLRDHUP, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    return ready > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace ruvo::phone
