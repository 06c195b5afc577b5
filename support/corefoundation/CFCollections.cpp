// Mutable arrays and dictionaries. Dictionaries keep insertion order, so a property list written
// out lists its keys in the order they were set. Like CoreFoundation's, these containers are not
// locked: one thread changes a container at a time.
#include "CFInternal.h"

#include <algorithm>
#include <functional>
#include <iterator>

using namespace ruvo::cf;

namespace {

// Room reserved up front for a stated capacity; larger hints grow on demand instead.
constexpr CFIndex kMaxReservedCapacity = 1024;

}  // namespace

__CFArray::__CFArray(const CFArrayCallBacks* cb) : ObjectHeader(kKind, 1) {
    if (cb != nullptr) callBacks = *cb;
}

__CFArray::~__CFArray() {
    if (callBacks.release == nullptr) return;
    for (const void* value : values) callBacks.release(nullptr, value);
}

__CFDictionary::__CFDictionary(const CFDictionaryKeyCallBacks* keys, const CFDictionaryValueCallBacks* values)
    : ObjectHeader(kKind, 1) {
    if (keys != nullptr) keyCallBacks = *keys;
    if (values != nullptr) valueCallBacks = *values;
}

__CFDictionary::~__CFDictionary() {
    for (const Entry& entry : entries) {
        if (keyCallBacks.release != nullptr) keyCallBacks.release(nullptr, entry.key);
        if (valueCallBacks.release != nullptr) valueCallBacks.release(nullptr, entry.value);
    }
}

CFHashCode __CFDictionary::HashKey(const void* key) const {
    if (keyCallBacks.hash != nullptr) return keyCallBacks.hash(key);
    // An equality without a hash can only be searched linearly: one bucket for all.
    if (keyCallBacks.equal != nullptr) return 0;
    return std::hash<const void*>{}(key);
}

bool __CFDictionary::KeysEqual(const void* a, const void* b) const {
    return a == b || (keyCallBacks.equal != nullptr && keyCallBacks.equal(a, b));
}

bool __CFDictionary::ValuesEqual(const void* a, const void* b) const {
    return a == b || (valueCallBacks.equal != nullptr && valueCallBacks.equal(a, b));
}

__CFDictionary::Position __CFDictionary::Find(const void* key) {
    auto [first, last] = index.equal_range(HashKey(key));
    for (auto it = first; it != last; ++it)
        if (KeysEqual(it->second->key, key)) return it->second;
    return entries.end();
}

namespace {

// Adds a new entry. Storage is allocated before anything is retained, so an allocation failure
// leaves the dictionary and the reference counts as they were.
void InsertEntry(__CFDictionary& dict, const void* key, const void* value) {
    CFHashCode hash = dict.HashKey(key);
    dict.entries.push_back({key, value, hash});
    auto position = std::prev(dict.entries.end());
    try {
        dict.index.emplace(hash, position);
    } catch (...) {
        dict.entries.pop_back();
        throw;
    }
    if (dict.keyCallBacks.retain != nullptr) position->key = dict.keyCallBacks.retain(nullptr, key);
    if (dict.valueCallBacks.retain != nullptr) position->value = dict.valueCallBacks.retain(nullptr, value);
}

void ReplaceValue(__CFDictionary& dict, __CFDictionary::Position position, const void* value) {
    // Retain the new value before releasing the old one: they may be the same object.
    const void* stored = dict.valueCallBacks.retain != nullptr ? dict.valueCallBacks.retain(nullptr, value) : value;
    const void* old = position->value;
    position->value = stored;
    if (dict.valueCallBacks.release != nullptr) dict.valueCallBacks.release(nullptr, old);
}

void PutValue(CFMutableDictionaryRef theDict, const void* key, const void* value, Existing existing) {
    __CFDictionary* dict = AsMutable(theDict);
    // A null key or value is never stored: a lookup could not tell it from "absent".
    if (dict == nullptr || key == nullptr || value == nullptr) return;
    CallNoThrow<bool>(false, [&] {
        PutEntry(*dict, key, value, existing);
        return true;
    });
}

}  // namespace

namespace ruvo::cf {

void PutEntry(__CFDictionary& dict, const void* key, const void* value, Existing existing) {
    auto position = dict.Find(key);
    if (position == dict.entries.end())
        InsertEntry(dict, key, value);
    else if (existing == Existing::Replace)
        ReplaceValue(dict, position, value);
}

void AppendValue(__CFArray& array, const void* value) {
    // Make room first, so a failed allocation leaves the value unretained.
    if (array.values.size() == array.values.capacity())
        array.values.reserve(std::max<size_t>(8, array.values.capacity() * 2));
    const void* stored = array.callBacks.retain != nullptr ? array.callBacks.retain(nullptr, value) : value;
    array.values.push_back(stored);
}

}  // namespace ruvo::cf

CFTypeID CFArrayGetTypeID(void) { return static_cast<CFTypeID>(Kind::Array); }

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks* callBacks) {
    if (capacity < 0) return nullptr;
    return CallNoThrow<CFMutableArrayRef>(nullptr, [&]() -> CFMutableArrayRef {
        auto* array = new __CFArray(callBacks);
        try {
            array->values.reserve(static_cast<size_t>(std::min(capacity, kMaxReservedCapacity)));
        } catch (...) {
            delete array;
            throw;
        }
        return array;
    });
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    __CFArray* array = AsMutable(theArray);
    if (array == nullptr || value == nullptr) return;
    CallNoThrow<bool>(false, [&] {
        AppendValue(*array, value);
        return true;
    });
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const __CFArray* array = As<__CFArray>(theArray);
    return array == nullptr ? 0 : static_cast<CFIndex>(array->values.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray* array = As<__CFArray>(theArray);
    if (array == nullptr || idx < 0 || static_cast<size_t>(idx) >= array->values.size()) return nullptr;
    return array->values[static_cast<size_t>(idx)];
}

CFTypeID CFDictionaryGetTypeID(void) { return static_cast<CFTypeID>(Kind::Dictionary); }

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (capacity < 0) return nullptr;
    return CallNoThrow<CFMutableDictionaryRef>(
        nullptr, [&]() -> CFMutableDictionaryRef { return new __CFDictionary(keyCallBacks, valueCallBacks); });
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    PutValue(theDict, key, value, Existing::Keep);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    PutValue(theDict, key, value, Existing::Replace);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    __CFDictionary* dict = AsMutable(theDict);
    if (dict == nullptr || key == nullptr) return;
    auto position = dict->Find(key);
    if (position == dict->entries.end()) return;
    auto [first, last] = dict->index.equal_range(position->hash);
    for (auto it = first; it != last; ++it) {
        if (it->second == position) {
            dict->index.erase(it);
            break;
        }
    }
    __CFDictionary::Entry removed = *position;
    dict->entries.erase(position);
    // Released only once unlinked: releasing may free values that reach back into this dictionary.
    if (dict->keyCallBacks.release != nullptr) dict->keyCallBacks.release(nullptr, removed.key);
    if (dict->valueCallBacks.release != nullptr) dict->valueCallBacks.release(nullptr, removed.value);
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    __CFDictionary* dict = AsMutable(theDict);
    if (dict == nullptr || key == nullptr) return nullptr;
    auto position = dict->Find(key);
    return position == dict->entries.end() ? nullptr : position->value;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    const __CFDictionary* dict = As<__CFDictionary>(theDict);
    return dict == nullptr ? 0 : static_cast<CFIndex>(dict->entries.size());
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    const __CFDictionary* dict = As<__CFDictionary>(theDict);
    if (dict == nullptr) return;
    size_t i = 0;
    for (const auto& entry : dict->entries) {
        if (keys != nullptr) keys[i] = entry.key;
        if (values != nullptr) values[i] = entry.value;
        ++i;
    }
}
