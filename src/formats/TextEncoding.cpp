// Text conversions at the system's borders: ANSI code page, UTF-8 and URL encoding of UTF-16 text.
#include "TextEncoding.h"

#include "IconvConverter.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <optional>

namespace {

constexpr const char* kUtf8 = "UTF-8";

// The environment variables the code page is read from: our own, then those the user's locale
// is read from.
constexpr const char* kSettingVariables[] = {"RUVO_ANSI_CODEPAGE", "LC_ALL", "LC_CTYPE", "LANG"};
constexpr size_t kSettingCount = std::size(kSettingVariables);

// Resolving the code page reads the locale and tries a converter for it, which costs as much as
// a conversion many times over. It is therefore done only when what decides it has changed
// since the last time: the override or one of the variables. Guarded by g_settingMutex.
std::mutex g_settingMutex;
std::string g_override;
bool g_resolved = false;
std::optional<std::string> g_variables[kSettingCount];  // as read when last resolved
std::string g_codepage;                                 // the code page resolved then

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
std::string Resolve(const std::string& override, const std::optional<std::string>& variable) {
    std::string codepage = override;
    if (codepage.empty()) codepage = (variable && !variable->empty()) ? *variable : LocaleCodeset();
    // A code page iconv cannot convert would lose every non-ASCII character; UTF-8 keeps them.
    if (codepage != kUtf8 && !IconvConverter::Supports(codepage)) return kUtf8;
    return codepage;
}

bool Same(const std::optional<std::string>& kept, const char* now) { return now ? kept == now : !kept; }

}  // namespace

std::string AnsiCodePage() {
    std::scoped_lock lock(g_settingMutex);
    const char* now[kSettingCount];
    bool changed = !g_resolved;
    for (size_t i = 0; i < kSettingCount; ++i) {
        now[i] = std::getenv(kSettingVariables[i]);
        changed = changed || !Same(g_variables[i], now[i]);
    }
    if (changed) {
        for (size_t i = 0; i < kSettingCount; ++i) {
            g_variables[i] = now[i] ? std::optional<std::string>(now[i]) : std::nullopt;
        }
        g_codepage = Resolve(g_override, g_variables[0]);
        g_resolved = true;
    }
    return g_codepage;
}

void SetAnsiCodePage(const std::string& codepage) {
    std::scoped_lock lock(g_settingMutex);
    if (codepage == g_override) return;
    g_override = codepage;
    g_resolved = false;
}

// Each thread keeps its converters, one per code page name, so that a conversion opens none
// once its thread has used the code page, and a changed code page is met with its own.
std::u16string Utf8ToText(std::string_view utf8) { return IconvConverter::ForThisThread(kUtf8).ToText(utf8); }

std::string TextToUtf8(const std::u16string& text) { return IconvConverter::ForThisThread(kUtf8).FromText(text); }

std::u16string AnsiToText(std::string_view ansi) { return IconvConverter::ForThisThread(AnsiCodePage()).ToText(ansi); }

std::string TextToAnsi(const std::u16string& text) {
    return IconvConverter::ForThisThread(AnsiCodePage()).FromText(text);
}

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
