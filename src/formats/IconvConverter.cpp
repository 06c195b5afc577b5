// IconvConverter: iconv (glibc) between one named codeset and UTF-16 text, with replacement rules.
#include "IconvConverter.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>

namespace {

// std::u16string holds UTF-16 in the machine's byte order; a named byte order also keeps iconv
// from writing or expecting a byte-order mark. UTF-16 rather than UCS-2, so that characters
// outside the BMP (surrogate pairs) convert as the one character they are.
constexpr const char* kWideCodeset = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
constexpr size_t kIconvError = static_cast<size_t>(-1);
constexpr char16_t kReplacementChar = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

IconvConverter::IconvConverter(const std::string& codeset)
    : m_toText(iconv_open(kWideCodeset, codeset.c_str())),
      m_fromText(iconv_open(codeset.c_str(), kWideCodeset)),
      m_defaultChar("?") {
    if (!IsOpen()) return;
    // The "?" in the codeset's own bytes, for codesets that are not ASCII-based.
    char16_t question = u'?';
    char* in = reinterpret_cast<char*>(&question);
    size_t inLeft = sizeof question;
    char buf[16];
    char* out = buf;
    size_t outLeft = sizeof buf;
    if (iconv(m_fromText, &in, &inLeft, &out, &outLeft) != kIconvError && out != buf)
        m_defaultChar.assign(buf, static_cast<size_t>(out - buf));
    iconv(m_fromText, nullptr, nullptr, nullptr, nullptr);

    // Whether the codeset writes ASCII as ASCII (most do; UTF-16 and EBCDIC do not), so that
    // ASCII text can be copied across without iconv.
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
    const std::u16string wide = ConvertToText(ascii);
    m_asciiTransparent = wide.size() == ascii.size() && std::equal(wide.begin(), wide.end(), ascii.begin(),
                                                                   [](char16_t w, char a) { return w == char16_t(a); });
}

namespace {

bool AllAscii(std::string_view bytes) {
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool AllAscii(std::u16string_view text) {
    for (const char16_t c : text)
        if (c >= 0x80) return false;
    return true;
}

}  // namespace

IconvConverter::~IconvConverter() {
    if (m_toText != kNoConverter) iconv_close(m_toText);
    if (m_fromText != kNoConverter) iconv_close(m_fromText);
}

bool IconvConverter::IsOpen() const { return m_toText != kNoConverter && m_fromText != kNoConverter; }

bool IconvConverter::Supports(const std::string& codeset) {
    return !codeset.empty() && IconvConverter(codeset).IsOpen();
}

IconvConverter& IconvConverter::ForThisThread(const std::string& codeset) {
    // Conversions reset the converter's state before they start, so reuse carries nothing over.
    thread_local std::map<std::string, std::unique_ptr<IconvConverter>> converters;
    std::unique_ptr<IconvConverter>& converter = converters[codeset];
    if (!converter) converter = std::make_unique<IconvConverter>(codeset);
    return *converter;
}

std::u16string IconvConverter::ToText(std::string_view bytes) {
    if (m_asciiTransparent && AllAscii(bytes)) return std::u16string(bytes.begin(), bytes.end());
    return ConvertToText(bytes);
}

std::u16string IconvConverter::ConvertToText(std::string_view bytes) {
    std::u16string text;
    if (!IsOpen() || bytes.empty()) return text;
    iconv(m_toText, nullptr, nullptr, nullptr, nullptr);

    char* in = const_cast<char*>(bytes.data());  // iconv does not write through its input
    size_t inLeft = bytes.size();
    char16_t buf[256];
    while (inLeft > 0) {
        char* out = reinterpret_cast<char*>(buf);
        size_t outLeft = sizeof buf;
        const size_t inBefore = inLeft;
        const size_t result = iconv(m_toText, &in, &inLeft, &out, &outLeft);
        const size_t written = (sizeof buf - outLeft) / sizeof(char16_t);
        text.append(buf, written);
        if (result != kIconvError) continue;
        if (errno == E2BIG && (written > 0 || inLeft < inBefore)) continue;  // the buffer was full: go on with the rest
        if (errno == EINVAL) {
            // A multi-byte sequence cut off by the end of the input: one U+FFFD for the rest.
            text.push_back(kReplacementChar);
            break;
        }
        // EILSEQ (or no progress at all): replace the offending byte and resume after it, so a
        // bad byte costs one character and never the text that follows.
        text.push_back(kReplacementChar);
        ++in;
        --inLeft;
    }
    return text;
}

std::string IconvConverter::FromText(std::u16string_view text) {
    std::string bytes;
    if (!IsOpen() || text.empty()) return bytes;
    if (m_asciiTransparent && AllAscii(text)) {
        bytes.reserve(text.size());
        for (const char16_t c : text) bytes.push_back(static_cast<char>(c));
        return bytes;
    }
    iconv(m_fromText, nullptr, nullptr, nullptr, nullptr);

    const char* const start = reinterpret_cast<const char*>(text.data());
    char* in = const_cast<char*>(start);  // iconv does not write through its input
    size_t inLeft = text.size() * sizeof(char16_t);
    char buf[512];
    while (inLeft > 0) {
        char* out = buf;
        size_t outLeft = sizeof buf;
        const size_t inBefore = inLeft;
        const size_t result = iconv(m_fromText, &in, &inLeft, &out, &outLeft);
        bytes.append(buf, static_cast<size_t>(out - buf));
        if (result != kIconvError) continue;
        if (errno == E2BIG && (out != buf || inLeft < inBefore)) continue;
        // EILSEQ: the character is not in the codeset, or is a lone surrogate; EINVAL: a high
        // surrogate ends the text. Either way the character becomes "?" and the rest goes on.
        const size_t index = static_cast<size_t>(in - start) / sizeof(char16_t);
        size_t units = 1;
        if (IsHighSurrogate(text[index]) && index + 1 < text.size() && IsLowSurrogate(text[index + 1])) units = 2;
        bytes += m_defaultChar;
        in += units * sizeof(char16_t);
        inLeft -= units * sizeof(char16_t);
    }
    // Codesets with shift states close them here.
    char* out = buf;
    size_t outLeft = sizeof buf;
    iconv(m_fromText, nullptr, nullptr, &out, &outLeft);
    bytes.append(buf, static_cast<size_t>(out - buf));
    return bytes;
}
