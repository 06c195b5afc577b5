// PlistStream: exact reads and writes on sockets, and length-framed property-list messages.
#include "PlistStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string_view>

#include "BigEndian.h"
#include "PlistInput.h"

namespace ruvo::phone {

bool ReadExact(int fd, char* buffer, size_t length, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (length > 0) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            wait = static_cast<int>(left);
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = ::recv(fd, buffer, length, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

std::string ToXml(plist_t node) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml) return std::string();
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

FrameRead ReadFramedPlist(int fd, uint32_t maxLength, int timeoutMs, PlistHolder& message) {
    unsigned char header[4];
    if (!ReadExact(fd, reinterpret_cast<char*>(header), sizeof header, timeoutMs)) return FrameRead::Closed;
    const uint64_t length = ReadBigEndian(header, sizeof header);
    if (length == 0 || length > maxLength) return FrameRead::Malformed;
    std::string body(length, '\0');
    if (!ReadExact(fd, body.data(), body.size(), timeoutMs)) return FrameRead::Closed;
    // XML has no place for a NUL byte, and libplist would copy one into a string.
    if (!body.starts_with("bplist") && body.find('\0') != std::string::npos) return FrameRead::Malformed;
    PlistHolder parsed = ParsePlistInput(body, PlistFormats::XmlOrBinary);
    if (!parsed || plist_get_node_type(parsed.get()) != PLIST_DICT) return FrameRead::Malformed;
    message = std::move(parsed);
    return FrameRead::Message;
}

bool SendFramedPlist(int fd, plist_t node) {
    const std::string xml = ToXml(node);
    if (xml.empty()) return false;
    const uint32_t length = static_cast<uint32_t>(xml.size());
    const unsigned char header[4] = {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                                     static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    return WriteAll(fd, reinterpret_cast<const char*>(header), sizeof header) && WriteAll(fd, xml.data(), xml.size());
}

}  // namespace ruvo::phone
