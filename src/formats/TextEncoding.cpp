// Text conversions at the system's borders: ANSI code page, UTF-8 and URL encoding of UTF-16 text.
#include "TextEncoding.h"

#include "IconvConverter.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr const char* kUtf8 = "UTF-8";

std::mutex g_overrideMutex;
std::string g_override;  // guarded by g_overrideMutex

std::string Override() {
    std::scoped_lock lock(g_overrideMutex);
    return g_override;
}

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

}  // namespace

std::string AnsiCodePage() {
    std::string codepage = Override();
    if (codepage.empty()) {
        const char* env = std::getenv("RUVO_ANSI_CODEPAGE");
        codepage = (env && *env) ? env : LocaleCodeset();
    }
    // A code page iconv cannot convert would lose every non-ASCII character; UTF-8 keeps them.
    if (codepage != kUtf8 && !IconvConverter::Supports(codepage)) return kUtf8;
    return codepage;
}

void SetAnsiCodePage(const std::string& codepage) {
    std::scoped_lock lock(g_overrideMutex);
    g_override = codepage;
}

std::u16string Utf8ToText(std::string_view utf8) { return IconvConverter(kUtf8).ToText(utf8); }

std::string TextToUtf8(const std::u16string& text) { return IconvConverter(kUtf8).FromText(text); }

std::u16string AnsiToText(std::string_view ansi) { return IconvConverter(AnsiCodePage()).ToText(ansi); }

std::string TextToAnsi(const std::u16string& text) { return IconvConverter(AnsiCodePage()).FromText(text); }

std::u16string Utf8OrAnsiToText(std::string_view bytes) {
    const std::string_view data = UpToZero(bytes);
    return LooksLikeUtf8(data) ? Utf8ToText(data) : AnsiToText(data);
}

std::string AnsiToUtf8(std::string_view ansi) { return TextToUtf8(AnsiToText(UpToZero(ansi))); }

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
