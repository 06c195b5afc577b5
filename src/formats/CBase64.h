// CBase64: Base64 (RFC 4648 alphabet) of usage-report bodies and host descriptions.
#pragma once

#include <cstdint>
#include <string>

// Holds no data; made on the stack around a single call.
class CBase64 {
public:
    virtual ~CBase64() = default;

    // Writes the Base64 characters of n bytes into out, with CR LF after a full group whenever
    // the line reaches past maxLineLength - 4, then a terminating zero. Returns the characters
    // written (line breaks counted, zero not). out must hold 4 per started group of three,
    // 2 per line break and 1.
    int EncodeBlock(const uint8_t* in, int n, char* out, int maxLineLength);
    // Decodes m characters (CR and LF skipped) into out and zero-terminates; returns the bytes
    // written. out must hold 3 per group of four and 1.
    int DecodeBlock(const char* in, int m, uint8_t* out);

    std::u16string EncodeBytes(const uint8_t* bytes, int n);
    // Base64 of the text's ANSI bytes.
    std::u16string Encode(const std::u16string& text);
    // The decoded bytes up to the first zero, read as UTF-8 or ANSI.
    std::u16string Decode(const std::u16string& text);
};
