// AFC wire format: header codec and bounded, time-limited packet reads and writes on a socket.
#include "AfcProtocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace ruvo::afc {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

Deadline DeadlineIn(int timeoutMs) {
    if (timeoutMs < 0) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

int RemainingMs(const Deadline& deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0) return 0;
    // Round up so a wait never ends a fraction of a millisecond before the deadline.
    return static_cast<int>(left) + 1;
}

IoResult WaitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, RemainingMs(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return IoResult::SocketError;
        }
        if (r == 0) return IoResult::Timeout;
        if (p.revents & POLLNVAL) return IoResult::SocketError;
        // Readable, writable, hung up or failed: the following recv or send tells which.
        return IoResult::Ok;
    }
}

IoResult ResultOfErrno(int err) {
    if (err == EPIPE || err == ECONNRESET) return IoResult::Closed;
    return IoResult::SocketError;
}

IoResult RecvExact(int fd, char* buffer, size_t length, const Deadline& deadline) {
    size_t got = 0;
    // What has already arrived is taken at once; the wait (with its deadline) comes only when
    // the socket has nothing more yet.
    while (got < length) {
        ssize_t n = recv(fd, buffer + got, length - got, MSG_DONTWAIT);
        if (n == 0) return IoResult::Closed;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return ResultOfErrno(errno);
            IoResult waited = WaitFor(fd, POLLIN, deadline);
            if (waited != IoResult::Ok) return waited;
            continue;
        }
        got += static_cast<size_t>(n);
    }
    return IoResult::Ok;
}

// Reads length bytes into out. Up to one transfer piece (kClientChunkSize) is taken on trust at
// once; beyond that the buffer grows with what has really arrived, a piece at a time, so a header
// that announces tens of MiB costs little until the bytes come.
IoResult RecvGrowing(int fd, std::string& out, uint64_t length, const Deadline& deadline) {
    constexpr size_t kPiece = kClientChunkSize;
    out.clear();
    out.reserve(static_cast<size_t>(std::min<uint64_t>(length, kPiece)));
    while (out.size() < length) {
        const size_t had = out.size();
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(length - had, kPiece));
        out.resize(had + piece);
        IoResult r = RecvExact(fd, out.data() + had, piece, deadline);
        if (r != IoResult::Ok) return r;
    }
    return IoResult::Ok;
}

uint64_t LoadU64(const unsigned char* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

void StoreU64(unsigned char* p, uint64_t value) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]) {
    std::memcpy(out, kMagic, sizeof kMagic);
    StoreU64(out + 8, header.entireLength);
    StoreU64(out + 16, header.thisLength);
    StoreU64(out + 24, header.packetNum);
    StoreU64(out + 32, header.operation);
}

IoResult DecodeHeader(const unsigned char in[kHeaderSize], Header& out) {
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0) return IoResult::Malformed;
    Header h;
    h.entireLength = LoadU64(in + 8);
    h.thisLength = LoadU64(in + 16);
    h.packetNum = LoadU64(in + 24);
    h.operation = LoadU64(in + 32);
    if (h.thisLength < kHeaderSize || h.entireLength < h.thisLength) return IoResult::Malformed;
    if (h.thisLength - kHeaderSize > kMaxDataLength) return IoResult::Malformed;
    if (h.entireLength - h.thisLength > kMaxPayloadLength) return IoResult::Malformed;
    out = h;
    return IoResult::Ok;
}

IoResult ReadPacket(int fd, Packet& out, int firstByteTimeoutMs, int timeoutMs) {
    size_t unused = 0;
    return ReadPacketInto(fd, out, nullptr, 0, unused, firstByteTimeoutMs, timeoutMs);
}

IoResult ReadPacketInto(int fd, Packet& out, char* dest, size_t capacity, size_t& payloadLength,
                        int firstByteTimeoutMs, int timeoutMs) {
    payloadLength = 0;
    IoResult started = WaitFor(fd, POLLIN, DeadlineIn(firstByteTimeoutMs));
    if (started != IoResult::Ok) return started;
    Deadline deadline = DeadlineIn(timeoutMs);

    unsigned char raw[kHeaderSize];
    IoResult r = RecvExact(fd, reinterpret_cast<char*>(raw), sizeof raw, deadline);
    if (r != IoResult::Ok) return r;
    Header header;
    r = DecodeHeader(raw, header);
    if (r != IoResult::Ok) return r;

    out.packetNum = header.packetNum;
    out.operation = header.operation;
    r = RecvGrowing(fd, out.data, header.thisLength - kHeaderSize, deadline);
    if (r != IoResult::Ok) return r;
    const uint64_t length = header.entireLength - header.thisLength;
    out.payload.clear();
    if (dest != nullptr && length > 0 && length <= capacity) {
        payloadLength = static_cast<size_t>(length);
        return RecvExact(fd, dest, payloadLength, deadline);
    }
    return RecvGrowing(fd, out.payload, length, deadline);
}

IoResult WritePacket(int fd, uint64_t packetNum, Op operation, std::string_view data, std::string_view payload,
                     int timeoutMs) {
    if (data.size() > kMaxDataLength || payload.size() > kMaxPayloadLength) return IoResult::Malformed;
    Header header;
    header.thisLength = kHeaderSize + data.size();
    header.entireLength = header.thisLength + payload.size();
    header.packetNum = packetNum;
    header.operation = static_cast<uint64_t>(operation);
    unsigned char raw[kHeaderSize];
    EncodeHeader(header, raw);

    iovec parts[3] = {
        {raw, sizeof raw},
        {const_cast<char*>(data.data()), data.size()},
        {const_cast<char*>(payload.data()), payload.size()},
    };
    iovec* next = parts;
    size_t count = 3;
    Deadline deadline = DeadlineIn(timeoutMs);
    while (count > 0) {
        if (next->iov_len == 0) {
            ++next;
            --count;
            continue;
        }
        IoResult waited = WaitFor(fd, POLLOUT, deadline);
        if (waited != IoResult::Ok) return waited;
        msghdr msg{};
        msg.msg_iov = next;
        msg.msg_iovlen = count;
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return ResultOfErrno(errno);
        }
        // Drop what went out: whole parts first, then the front of a partly sent one.
        size_t sent = static_cast<size_t>(n);
        while (count > 0 && sent >= next->iov_len) {
            sent -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + sent;
            next->iov_len -= sent;
        }
    }
    return IoResult::Ok;
}

void AppendU64(std::string& out, uint64_t value) {
    unsigned char raw[8];
    StoreU64(raw, value);
    out.append(reinterpret_cast<const char*>(raw), sizeof raw);
}

std::optional<uint64_t> ReadU64(std::string_view bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 8) return std::nullopt;
    return LoadU64(reinterpret_cast<const unsigned char*>(bytes.data()) + offset);
}

}  // namespace ruvo::afc
