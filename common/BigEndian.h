// BigEndian: the network-order integers of the wire formats (property lists, service framing).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruvo {

// The width-byte big-endian number at bytes (width at most 8).
inline uint64_t ReadBigEndian(const uint8_t* bytes, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

// Appends value as a width-byte big-endian number to a byte container (std::string or a vector).
template <typename Bytes>
void AppendBigEndian(Bytes& out, uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) out.push_back(static_cast<typename Bytes::value_type>((value >> (8 * i)) & 0xFF));
}

}  // namespace ruvo
