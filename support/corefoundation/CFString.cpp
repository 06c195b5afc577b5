// Strings: UTF-8 storage with a UTF-16 length, interned constant strings, and comparison.
#include "CFInternal.h"
#include "CaseFolding.h"

#include <cstring>
#include <memory>
#include <mutex>

using namespace ruvo::cf;

namespace {

// Decodes the code point starting at text[i] (text already validated) and advances i.
char32_t decodeNext(std::string_view text, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        i += 1;
        return lead;
    }
    if (lead < 0xE0) {
        char32_t c = ((lead & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
        i += 2;
        return c;
    }
    if (lead < 0xF0) {
        char32_t c = ((lead & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
        i += 3;
        return c;
    }
    char32_t c =
        ((lead & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) | ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
    i += 4;
    return c;
}

// The UTF-16 code units of text, case-folded when asked: CoreFoundation orders strings by UTF-16
// units, which differs from UTF-8 byte order for characters above U+FFFF.
std::u16string utf16Units(std::string_view text, bool fold) {
    std::u16string units;
    units.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = decodeNext(text, i);
        if (fold) c = FoldCase(c);
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    return units;
}

// Constant strings live for the whole process, one per text. The table is never destroyed, so
// the strings stay valid (and reachable) through exit-time code.
struct ConstantStrings {
    std::mutex lock;
    std::unordered_map<std::string, const __CFString*> byText;
};

ConstantStrings& ConstantStringTable() {
    static auto* table = new ConstantStrings;
    return *table;
}

}  // namespace

namespace ruvo::cf {

CFIndex Utf16LengthOfUtf8(std::string_view text) noexcept {
    CFIndex units = 0;
    size_t i = 0;
    auto cont = [&](size_t k) { return k < text.size() && (static_cast<unsigned char>(text[k]) & 0xC0u) == 0x80u; };
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            i += 1;
            units += 1;
            continue;
        }
        size_t extra;
        char32_t minimum;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            minimum = 0x10000;
        } else {
            return -1;  // continuation byte, overlong two-byte lead, or beyond U+10FFFF
        }
        for (size_t k = 1; k <= extra; ++k)
            if (!cont(i + k)) return -1;
        size_t next = i;
        char32_t c = decodeNext(text, next);
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
        units += c >= 0x10000 ? 2 : 1;
        i = next;
    }
    return units;
}

CFStringRef MakeString(std::string text, CFIndex utf16Length) {
    return new __CFString(std::move(text), utf16Length, 1);
}

}  // namespace ruvo::cf

CFTypeID CFStringGetTypeID(void) { return static_cast<CFTypeID>(Kind::String); }

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    if (cStr == nullptr) return nullptr;
    return CallNoThrow<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::string text(cStr);
        CFIndex length = Utf16LengthOfUtf8(text);
        if (length < 0) return nullptr;
        ConstantStrings& table = ConstantStringTable();
        std::scoped_lock hold(table.lock);
        auto found = table.byText.find(text);
        if (found != table.byText.end()) return found->second;
        auto value = std::make_unique<__CFString>(text, length, kImmortal);
        table.byText.emplace(std::move(text), value.get());
        return value.release();
    });
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr || encoding != kCFStringEncodingUTF8) return nullptr;
    return CallNoThrow<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::string text(cStr);
        CFIndex length = Utf16LengthOfUtf8(text);
        return length < 0 ? nullptr : MakeString(std::move(text), length);
    });
}

CFIndex CFStringGetLength(CFStringRef theString) {
    const __CFString* s = As<__CFString>(theString);
    return s == nullptr ? 0 : s->utf16Length;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const __CFString* s = As<__CFString>(theString);
    if (s == nullptr || buffer == nullptr || bufferSize <= 0 || encoding != kCFStringEncodingUTF8) return false;
    if (s->utf8.size() + 1 > static_cast<size_t>(bufferSize)) {
        buffer[0] = '\0';  // a caller that ignores the result reads an empty string, not stale bytes
        return false;
    }
    std::memcpy(buffer, s->utf8.c_str(), s->utf8.size() + 1);
    return true;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2, CFOptionFlags compareOptions) {
    const __CFString* a = As<__CFString>(theString1);
    const __CFString* b = As<__CFString>(theString2);
    // A missing string sorts before every string, so it never compares equal to one.
    if (a == nullptr || b == nullptr) {
        if (a == b) return kCFCompareEqualTo;
        return a == nullptr ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    if (a == b) return kCFCompareEqualTo;
    bool fold = (compareOptions & kCFCompareCaseInsensitive) != 0;
    return CallNoThrow<CFComparisonResult>(kCFCompareLessThan, [&]() -> CFComparisonResult {
        int order = utf16Units(a->utf8, fold).compare(utf16Units(b->utf8, fold));
        return order < 0 ? kCFCompareLessThan : order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
    });
}
