// Text conversions at the system's borders: ANSI code page, UTF-8 and URL encoding of UTF-16 text.
#include "TextEncoding.h"

#include "IconvConverter.h"

#include <langinfo.h>
#include <locale.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr const char* kUtf8 = "UTF-8";

// The environment variable that names the code page; without it, the locale's (LC_ALL,
// LC_CTYPE, LANG) decides.
constexpr const char* kSettingVariable = "RUVO_ANSI_CODEPAGE";

// Resolving the code page reads the environment and the locale and tries a converter for it,
// which costs as much as a conversion many times over. It is therefore done once, and again only
// after the override is changed or ReloadAnsiCodePage is called: each change bumps the
// generation, and whoever next needs the code page resolves it. Guarded by g_settingMutex.
std::mutex g_settingMutex;
std::string g_override;
std::string g_codepage;                    // the code page resolved for g_resolvedGeneration
uint64_t g_resolvedGeneration = 0;
std::atomic<uint64_t> g_generation{1};     // bumped by every change; read without the lock

// Each thread remembers the code page of the generation it last saw and that code page's
// converter, so a conversion takes no lock and reads no environment.
struct ThreadCodePage {
    uint64_t generation = 0;
    bool utf8 = true;
    IconvConverter* converter = nullptr;  // the thread's own; null for UTF-8
};

// The codeset of the user's locale, read without touching the process's global locale (other
// threads may be formatting with it). A C/POSIX locale only knows ASCII, which here means UTF-8.
std::string LocaleCodeset() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return kUtf8;
    const char* name = nl_langinfo_l(CODESET, loc);
    std::string codeset = name ? name : "";
    freelocale(loc);
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII") return kUtf8;
    return codeset;
}

// Bytes up to the first zero: the byte arrays at these borders are zero-terminated strings.
std::string_view UpToZero(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

// Whether the bytes are shaped like UTF-8 of at most three bytes a character. A sequence cut off
// by the end passes (the decoder turns it into U+FFFD); four-byte sequences never pass.
bool LooksLikeUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<uint8_t>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead < 0xC0 || lead >= 0xF0) return false;
        const size_t trailing = lead < 0xE0 ? 1 : 2;
        if (i + trailing >= bytes.size()) return true;
        for (size_t k = 1; k <= trailing; ++k) {
            if ((static_cast<uint8_t>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        i += trailing + 1;
    }
    return true;
}

// The code page the override, the environment variable or else the locale names.
std::string Resolve(const std::string& override) {
    std::string codepage = override;
    if (codepage.empty()) {
        const char* variable = std::getenv(kSettingVariable);
        codepage = (variable && *variable) ? variable : LocaleCodeset();
    }
    // A code page iconv cannot convert would lose every non-ASCII character; UTF-8 keeps them.
    if (codepage != kUtf8 && !IconvConverter::Supports(codepage)) return kUtf8;
    return codepage;
}

const ThreadCodePage& CurrentCodePage() {
    thread_local ThreadCodePage page;
    const uint64_t now = g_generation.load(std::memory_order_acquire);
    if (page.generation != now) {
        // A change made meanwhile bumps the generation again, so the next call looks again.
        const std::string name = AnsiCodePage();
        page.utf8 = name == kUtf8;
        page.converter = page.utf8 ? nullptr : &IconvConverter::ForThisThread(name);
        page.generation = now;
    }
    return page;
}

constexpr char16_t kReplacementChar = 0xFFFD;

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The shortest well-formed sequences (Unicode's table 3-7): the range the byte after each lead
// must fall in; the bytes after that are plain continuation bytes.
bool SecondByteFits(uint8_t lead, uint8_t second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;  // no overlong forms
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;  // no surrogates
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;  // no overlong forms
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;  // nothing past U+10FFFF
    return IsContinuation(second);
}

size_t AnnouncedLength(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    if (lead >= 0xF8 && lead <= 0xFB) return 5;
    if (lead >= 0xFC && lead <= 0xFD) return 6;
    return 0;
}

size_t SequenceLength(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;  // a continuation byte, an overlong two-byte lead or no lead at all
}

// Whether every sequence of the bytes is complete and well-formed (so DecodeUtf8 replaces none).
bool IsWellFormedUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const size_t length = SequenceLength(p[i]);
        if (length == 0 || i + length > n || !SecondByteFits(p[i], p[i + 1])) return false;
        for (size_t k = 2; k < length; ++k)
            if (!IsContinuation(p[i + k])) return false;
        i += length;
    }
    return true;
}

// UTF-8 to UTF-16 with the same replacements as the iconv converters (IconvConverter::ToText):
// a byte that does not start a well-formed sequence becomes U+FFFD and decoding goes on with
// the next byte; a well-formed start cut off by the end becomes one U+FFFD.
std::u16string DecodeUtf8(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t lead = p[i];
        if (lead < 0x80) {
            // Runs of ASCII, the common case, without the checks below.
            size_t end = i + 1;
            while (end < n && p[end] < 0x80) ++end;
            text.append(p + i, p + end);
            i = end;
            continue;
        }
        // The length the lead announces, as iconv counts it (it still knows the old five- and
        // six-byte forms); only a sequence cut off by the end is judged by it.
        const size_t announced = AnnouncedLength(lead);
        if (announced == 0) {
            text.push_back(kReplacementChar);
            ++i;
            continue;
        }
        if (i + announced > n) {
            // Cut off by the end: continuation bytes up to the end count as a start, one U+FFFD
            // for the rest, as iconv reports them incomplete rather than invalid.
            size_t k = i + 1;
            while (k < n && IsContinuation(p[k])) ++k;
            text.push_back(kReplacementChar);
            if (k == n) break;
            ++i;
            continue;
        }
        const size_t length = SequenceLength(lead);
        bool wellFormed = length != 0 && SecondByteFits(lead, p[i + 1]);
        for (size_t k = 2; wellFormed && k < length; ++k) wellFormed = IsContinuation(p[i + k]);
        if (!wellFormed) {
            text.push_back(kReplacementChar);
            ++i;
            continue;
        }
        uint32_t code = lead & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k) code = (code << 6) | (p[i + k] & 0x3F);
        if (code < 0x10000) {
            text.push_back(static_cast<char16_t>(code));
        } else {
            code -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        }
        i += length;
    }
    return text;
}

// UTF-16 to UTF-8 with the same replacement as the iconv converters (IconvConverter::FromText):
// a lone surrogate becomes "?".
std::string EncodeUtf8(std::u16string_view text) {
    // The length first (each unit of a surrogate pair counts 2: the pair is four bytes; a lone
    // surrogate, written as one "?", counts 2 as well), then the bytes through a pointer; the
    // string is cut to what was written.
    const size_t n = text.size();
    size_t length = 0;
    for (const char16_t c : text) length += c < 0x80 ? 1 : (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) ? 2 : 3;
    std::string bytes(length, '\0');
    char* out = bytes.data();
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = text[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
                ++i;
                *out++ = static_cast<char>(0xF0 | (c >> 18));
                *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                *out++ = '?';
            }
        } else {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bytes.resize(static_cast<size_t>(out - bytes.data()));
    return bytes;
}

}  // namespace

std::string AnsiCodePage() {
    std::scoped_lock lock(g_settingMutex);
    const uint64_t now = g_generation.load(std::memory_order_relaxed);
    if (g_resolvedGeneration != now) {
        g_codepage = Resolve(g_override);
        g_resolvedGeneration = now;
    }
    return g_codepage;
}

void SetAnsiCodePage(const std::string& codepage) {
    std::scoped_lock lock(g_settingMutex);
    if (codepage == g_override) return;
    g_override = codepage;
    g_generation.fetch_add(1, std::memory_order_release);
}

void ReloadAnsiCodePage() {
    std::scoped_lock lock(g_settingMutex);
    g_generation.fetch_add(1, std::memory_order_release);
}

std::u16string Utf8ToText(std::string_view utf8) { return DecodeUtf8(utf8); }

std::string TextToUtf8(std::u16string_view text) { return EncodeUtf8(text); }

std::u16string AnsiToText(std::string_view ansi) {
    const ThreadCodePage& page = CurrentCodePage();
    return page.utf8 ? DecodeUtf8(ansi) : page.converter->ToText(ansi);
}

std::string TextToAnsi(const std::u16string& text) {
    const ThreadCodePage& page = CurrentCodePage();
    return page.utf8 ? EncodeUtf8(text) : page.converter->FromText(text);
}

std::u16string Utf8OrAnsiToText(std::string_view bytes) {
    const std::string_view data = UpToZero(bytes);
    return LooksLikeUtf8(data) ? Utf8ToText(data) : AnsiToText(data);
}

std::string AnsiToUtf8(std::string_view ansi) {
    const std::string_view bytes = UpToZero(ansi);
    // Well-formed UTF-8 under a UTF-8 code page decodes and encodes back to itself.
    if (CurrentCodePage().utf8 && IsWellFormedUtf8(bytes)) return std::string(bytes);
    return TextToUtf8(AnsiToText(bytes));
}

std::u16string UrlEncodeText(const std::u16string& text) {
    std::u16string encoded;
    if (text.empty()) return encoded;
    // The round trip through the ANSI code page keeps only what that code page can represent,
    // so the server sees the same characters a file name on this computer could hold.
    const std::string utf8 = AnsiToUtf8(TextToAnsi(text));
    for (const char c : UpToZero(utf8)) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80) {
            encoded.push_back(static_cast<char16_t>(byte));
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%2X", static_cast<unsigned>(byte));
        encoded.append(hex, hex + 3);
    }
    return encoded;
}
