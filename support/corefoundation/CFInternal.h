// Inside of the CoreFoundation stand-in: the layout of every value kind and the helpers its files share.
#ifndef RUVO_CF_INTERNAL_H
#define RUVO_CF_INTERNAL_H

#include "CoreFoundation.h"
#include "NoThrowCBorder.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ruvo::cf {

// Type ids handed out by CFGetTypeID; zero is never a valid id.
enum class Kind : uint32_t { String = 1, Number, Boolean, Data, Date, Array, Dictionary };

// Every value starts with this header. The magic word lets the C entry points turn away a
// pointer that is not one of our values (a caller mixing up arguments) instead of misreading it.
inline constexpr uint32_t kObjectMagic = 0x52434630;  // "RCF0"
// Reference count of values that live for the whole process (booleans, constant strings).
inline constexpr intptr_t kImmortal = -1;

struct ObjectHeader {
    constexpr ObjectHeader(Kind k, intptr_t count) : magic(kObjectMagic), kind(k), refs(count) {}
    ObjectHeader(const ObjectHeader&) = delete;
    ObjectHeader& operator=(const ObjectHeader&) = delete;

    uint32_t magic;
    Kind kind;
    // Counts change through const references too: retaining does not change the value.
    mutable std::atomic<intptr_t> refs;
};

// The header of a value, or null when ref is null or not one of ours.
inline const ObjectHeader* HeaderOf(CFTypeRef ref) {
    auto* header = static_cast<const ObjectHeader*>(ref);
    return header != nullptr && header->magic == kObjectMagic ? header : nullptr;
}

// Frees a value whose count reached zero (defined with CFRelease).
void Destroy(const ObjectHeader* header) noexcept;
// Hash that agrees with CFEqual: equal values hash alike.
CFHashCode HashOf(CFTypeRef ref) noexcept;

using ruvo::CallNoThrow;

// UTF-8 checks shared by strings and the property-list reader. Returns the UTF-16 length of
// valid UTF-8 text (no overlong forms, no surrogates, nothing above U+10FFFF), or -1.
CFIndex Utf16LengthOfUtf8(std::string_view text) noexcept;

// Creates a string value (count 1) from text already known to be valid UTF-8.
CFStringRef MakeString(std::string text, CFIndex utf16Length);

}  // namespace ruvo::cf

struct __CFString : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::String;
    __CFString(std::string text, CFIndex length, intptr_t count)
        : ObjectHeader(kKind, count), utf8(std::move(text)), utf16Length(length) {}
    const std::string utf8;
    const CFIndex utf16Length;
};

struct __CFNumber : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::Number;
    explicit __CFNumber(CFNumberType t) : ObjectHeader(kKind, 1), type(t) {}
    const CFNumberType type;  // as created; tells the width
    bool isReal = false;
    int64_t integer = 0;  // when !isReal
    double real = 0.0;    // when isReal (Float32 values are held exactly as doubles)
};

struct __CFBoolean : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::Boolean;
    explicit constexpr __CFBoolean(bool v) : ObjectHeader(kKind, ruvo::cf::kImmortal), value(v) {}
    const bool value;
};

struct __CFData : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::Data;
    explicit __CFData(std::vector<uint8_t> b) : ObjectHeader(kKind, 1), bytes(std::move(b)) {}
    const std::vector<uint8_t> bytes;
};

struct __CFDate : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::Date;
    explicit __CFDate(CFAbsoluteTime t) : ObjectHeader(kKind, 1), time(t) {}
    const CFAbsoluteTime time;
};

struct __CFArray : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::Array;
    explicit __CFArray(const CFArrayCallBacks* cb);
    ~__CFArray();
    __CFArray(const __CFArray&) = delete;
    __CFArray& operator=(const __CFArray&) = delete;

    CFArrayCallBacks callBacks{};  // all null: values are neither retained nor released
    std::vector<const void*> values;
};

struct __CFDictionary : ruvo::cf::ObjectHeader {
    static constexpr ruvo::cf::Kind kKind = ruvo::cf::Kind::Dictionary;
    __CFDictionary(const CFDictionaryKeyCallBacks* keys, const CFDictionaryValueCallBacks* values);
    ~__CFDictionary();
    __CFDictionary(const __CFDictionary&) = delete;
    __CFDictionary& operator=(const __CFDictionary&) = delete;

    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };
    using Position = std::list<Entry>::iterator;

    CFHashCode HashKey(const void* key) const;
    bool KeysEqual(const void* a, const void* b) const;
    bool ValuesEqual(const void* a, const void* b) const;
    // The entry holding key, or entries.end().
    Position Find(const void* key);

    CFDictionaryKeyCallBacks keyCallBacks{};  // all null: keys by identity, no retain
    CFDictionaryValueCallBacks valueCallBacks{};
    // Entries in insertion order; the index finds them by key hash.
    std::list<Entry> entries;
    std::unordered_multimap<CFHashCode, Position> index;
};

namespace ruvo::cf {

// What PutEntry does when the key is already there.
enum class Existing { Keep, Replace };

// Container changes used by the C entry points and the property-list reader. They retain through
// the container's callbacks and throw std::bad_alloc with the container left as it was.
void PutEntry(__CFDictionary& dict, const void* key, const void* value, Existing existing);
void AppendValue(__CFArray& array, const void* value);

// The value as T when ref is a T, else null.
template <typename T>
const T* As(CFTypeRef ref) {
    const ObjectHeader* header = HeaderOf(ref);
    return header != nullptr && header->kind == T::kKind ? static_cast<const T*>(header) : nullptr;
}

// Containers are handed out as const pointers too; the C interface decides what may change them.
template <typename T>
T* AsMutable(const T* ref) {
    return const_cast<T*>(As<T>(ref));
}

}  // namespace ruvo::cf

#endif
