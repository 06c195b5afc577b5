// Base64Text: a plain RFC 4648 Base64 codec of the tests' own, to check report bodies independently of CBase64.
#pragma once

#include <cstdint>
#include <string>

inline constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline std::string EncodeBase64(const std::string& bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                           static_cast<uint8_t>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += kBase64Alphabet[(v >> shift) & 63];
    }
    if (bytes.size() - i == 1) {
        const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += "==";
    } else if (bytes.size() - i == 2) {
        const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Strict: returns false for anything that is not canonical padded Base64 without line breaks.
inline bool DecodeBase64(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    auto value = [](char c) -> int {
        for (int k = 0; k < 64; ++k)
            if (kBase64Alphabet[k] == c) return k;
        return -1;
    };
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = k >= 4 - pad ? 0 : value(text[i + k]);
            if (d < 0) return false;
            v = (v << 6) | static_cast<uint32_t>(d);
        }
        bytes += static_cast<char>((v >> 16) & 0xFF);
        if (pad < 2) bytes += static_cast<char>((v >> 8) & 0xFF);
        if (pad < 1) bytes += static_cast<char>(v & 0xFF);
    }
    return true;
}
