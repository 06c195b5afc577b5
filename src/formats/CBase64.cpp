// CBase64: Base64 (RFC 4648 alphabet) of usage-report bodies and host descriptions.
#include "CBase64.h"

#include "TextEncoding.h"

#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Beyond this many input bytes the character count (line breaks included) and the line length
// 2 * n of EncodeBytes would no longer fit an int; such inputs give no output.
constexpr int kMaxEncodeInput = INT_MAX / 2 - 2;

// Index of a character in the alphabet; anything else, "=" and bytes of 0x80 and up included,
// counts as 0.
uint8_t ValueOf(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// Zeroes a buffer of decoded data when it goes out of scope; the decoded bodies can hold
// personal data, so they do not linger in freed memory.
class WipeOnExit {
public:
    explicit WipeOnExit(std::vector<uint8_t>& buffer) : m_buffer(buffer) {}
    ~WipeOnExit() { explicit_bzero(m_buffer.data(), m_buffer.size()); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::vector<uint8_t>& m_buffer;
};

}  // namespace

int CBase64::EncodeBlock(const uint8_t* in, int n, char* out, int maxLineLength) {
    if (!out) return 0;
    if (!in || n <= 0 || n > kMaxEncodeInput) {
        *out = '\0';
        return 0;
    }
    // In 64 bits, so that a very small maximum cannot overflow the comparison.
    const long long breakAfter = static_cast<long long>(maxLineLength) - 4;
    char* p = out;
    int line = 0;
    int i = 0;
    for (; n - i >= 3; i += 3) {
        const uint8_t b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
        *p++ = kAlphabet[b0 >> 2];
        *p++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        *p++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
        *p++ = kAlphabet[b2 & 63];
        line += 4;
        // Tested after every full group, the last one too, so the output may end in CR LF.
        if (line > breakAfter) {
            *p++ = '\r';
            *p++ = '\n';
            line = 0;
        }
    }
    const int rest = n - i;
    if (rest == 1) {
        const uint8_t b0 = in[i];
        *p++ = kAlphabet[b0 >> 2];
        *p++ = kAlphabet[(b0 & 3) << 4];
        *p++ = '=';
        *p++ = '=';
    } else if (rest == 2) {
        const uint8_t b0 = in[i], b1 = in[i + 1];
        *p++ = kAlphabet[b0 >> 2];
        *p++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        *p++ = kAlphabet[(b1 & 15) << 2];
        *p++ = '=';
    }
    *p = '\0';
    return static_cast<int>(p - out);
}

int CBase64::DecodeBlock(const char* in, int m, uint8_t* out) {
    if (!out) return 0;
    int written = 0;
    int pos = 0;
    while (in && pos < m) {
        if (IsLineBreak(in[pos])) {
            ++pos;
            continue;
        }
        // The next four characters of the group. Line breaks are skipped inside a group as well,
        // so text folded at any column decodes the same. When the input ends before the group is
        // complete, the missing characters count as "=": nothing is ever read past m.
        char group[4];
        for (char& c : group) {
            while (pos < m && IsLineBreak(in[pos])) ++pos;
            c = pos < m ? in[pos++] : '=';
        }
        const uint8_t a = ValueOf(group[0]), b = ValueOf(group[1]);
        const uint8_t c = ValueOf(group[2]), d = ValueOf(group[3]);
        out[written++] = static_cast<uint8_t>((a << 2) | (b >> 4));
        if (group[2] == '=') continue;
        out[written++] = static_cast<uint8_t>(((b & 15) << 4) | (c >> 2));
        if (group[3] == '=') continue;
        out[written++] = static_cast<uint8_t>(((c & 3) << 6) | d);
    }
    out[written] = 0;
    return written;
}

std::u16string CBase64::EncodeBytes(const uint8_t* bytes, int n) {
    if (!bytes || n <= 0 || n > kMaxEncodeInput) return {};
    // 4 characters per started group, 2 per possible line break after a full group, 1 zero.
    const size_t groups = static_cast<size_t>(n) / 3;
    const size_t started = (static_cast<size_t>(n) + 2) / 3;
    std::vector<char> buffer(4 * started + 2 * groups + 1);
    const int count = EncodeBlock(bytes, n, buffer.data(), 2 * n);
    return std::u16string(buffer.data(), buffer.data() + count);
}

std::u16string CBase64::Encode(const std::u16string& text) {
    const std::string ansi = TextToAnsi(text);
    const size_t length = std::string_view(ansi).find('\0');
    const size_t n = length == std::string_view::npos ? ansi.size() : length;
    if (n > static_cast<size_t>(kMaxEncodeInput)) return {};
    return EncodeBytes(reinterpret_cast<const uint8_t*>(ansi.data()), static_cast<int>(n));
}

std::u16string CBase64::Decode(const std::u16string& text) {
    // Base64 is ASCII, so its ANSI bytes are its characters; stray non-ASCII characters only
    // add bytes that decode as 0.
    const std::string chars = TextToAnsi(text);
    if (chars.size() > static_cast<size_t>(INT_MAX / 2)) return {};
    const int m = static_cast<int>(chars.size());
    // 2 * m bytes hold the 3 bytes per group of four and the zero; at least 4 for a lone
    // short group.
    std::vector<uint8_t> buffer(static_cast<size_t>(m < 2 ? 4 : 2 * m), 0);
    WipeOnExit wipe(buffer);
    DecodeBlock(chars.data(), m, buffer.data());
    // Decoded data is read as text, so binary content ends at its first zero byte.
    return Utf8OrAnsiToText(std::string_view(reinterpret_cast<const char*>(buffer.data())));
}
