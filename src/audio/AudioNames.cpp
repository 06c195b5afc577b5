// AudioNames: what is decided of a piece of audio without looking into it: the .m4r name, titles
// from names and tags, the conversion's bound.
#include <cerrno>
#include <cstdlib>

#include "AudioConverter.h"

namespace ruvo::audio {

namespace {

constexpr auto kBound = std::chrono::milliseconds(60000);

// The length of the UTF-8 sequence a lead byte starts, when the bytes after it continue it;
// 1 for anything else, which then counts as one character of its own.
size_t SequenceLength(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 1;
    if (lead >= 0xF5 || at + length > text.size()) return 1;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 1;
    return length;
}

}  // namespace

std::chrono::milliseconds ConvertBound() {
    if (const char* text = std::getenv("RUVO_CONVERT_TIMEOUT_MS")) {
        char* end = nullptr;
        errno = 0;
        const long long ms = std::strtoll(text, &end, 10);
        if (end != text && *end == '\0' && errno == 0 && ms >= 0 && std::chrono::milliseconds(ms) < kBound)
            return std::chrono::milliseconds(ms);
    }
    return kBound;
}

std::string NameStem(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return std::string(name);
}

std::string CleanTitle(std::string_view text) {
    std::string title;
    title.reserve(std::min(text.size(), kMaxTitleCharacters * 4));
    size_t characters = 0;
    for (size_t at = 0; at < text.size() && characters < kMaxTitleCharacters; ++characters) {
        const size_t length = SequenceLength(text, at);
        const auto lead = static_cast<unsigned char>(text[at]);
        // C0 controls and DEL, and the C1 controls (U+0080 to U+009F, C2 80 to C2 9F).
        const bool control = lead < 0x20 || lead == 0x7F ||
                             (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
        if (control)
            title += ' ';
        else
            title.append(text.substr(at, length));
        at += length;
    }
    return title;
}

std::string TitleFromName(std::string_view path) { return CleanTitle(NameStem(path)); }

bool IsRingtoneName(std::string_view name) {
    if (name.size() < 4) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(tail[0]) == '.' && lower(tail[1]) == 'm' && lower(tail[2]) == '4' && lower(tail[3]) == 'r';
}

}  // namespace ruvo::audio
