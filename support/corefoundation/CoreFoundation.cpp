// What every value shares: reference counting, type ids, equality and hashing, and the exported
// booleans and kCFType callbacks.
#include "CFInternal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>

using namespace ruvo::cf;

namespace {

// Reported by CFGetRetainCount for values that are never freed.
constexpr CFIndex kImmortalRetainCount = std::numeric_limits<CFIndex>::max();

// CFEqual recurses through the containers' equal callbacks; a container that holds itself
// would recurse forever, so comparisons deeper than this give "not equal".
constexpr int kMaxEqualDepth = 4096;
thread_local int equalDepth = 0;

struct EqualDepthGuard {
    EqualDepthGuard() { ++equalDepth; }
    ~EqualDepthGuard() { --equalDepth; }
    EqualDepthGuard(const EqualDepthGuard&) = delete;
    EqualDepthGuard& operator=(const EqualDepthGuard&) = delete;
};

constinit __CFBoolean trueValue{true};
constinit __CFBoolean falseValue{false};

const void* RetainTypeValue(CFAllocatorRef, const void* value) { return CFRetain(value); }
void ReleaseTypeValue(CFAllocatorRef, const void* value) { CFRelease(value); }
Boolean EqualTypeValues(const void* a, const void* b) { return CFEqual(a, b); }
CFHashCode HashTypeValue(const void* value) { return HashOf(value); }

// Numbers are equal by value whatever their width or kind: 5 (SInt8) equals 5.0 (Float64).
// long double holds every int64_t exactly, so mixed comparisons lose nothing.
bool NumbersEqual(const __CFNumber& a, const __CFNumber& b) {
    if (!a.isReal && !b.isReal) return a.integer == b.integer;
    if (a.isReal && b.isReal) {
        if (std::isnan(a.real) || std::isnan(b.real)) return std::isnan(a.real) && std::isnan(b.real);
        return a.real == b.real;
    }
    const __CFNumber& integral = a.isReal ? b : a;
    const __CFNumber& real = a.isReal ? a : b;
    return static_cast<long double>(integral.integer) == static_cast<long double>(real.real);
}

CFHashCode HashNumber(const __CFNumber& n) {
    if (!n.isReal) return std::hash<int64_t>{}(n.integer);
    if (std::isnan(n.real)) return 0x7ff8;
    // A real with an integral value in range hashes like that integer, to agree with NumbersEqual.
    if (n.real >= -0x1p63 && n.real < 0x1p63 && std::trunc(n.real) == n.real)
        return std::hash<int64_t>{}(static_cast<int64_t>(n.real));
    return std::hash<uint64_t>{}(std::bit_cast<uint64_t>(n.real));
}

bool ArraysEqual(const __CFArray& a, const __CFArray& b) {
    if (a.values.size() != b.values.size()) return false;
    for (size_t i = 0; i < a.values.size(); ++i) {
        const void* x = a.values[i];
        const void* y = b.values[i];
        if (x == y) continue;
        if (a.callBacks.equal == nullptr || !a.callBacks.equal(x, y)) return false;
    }
    return true;
}

bool DictionariesEqual(const __CFDictionary& a, __CFDictionary& b) {
    if (a.entries.size() != b.entries.size()) return false;
    for (const auto& entry : a.entries) {
        auto other = b.Find(entry.key);
        if (other == b.entries.end() || !a.ValuesEqual(entry.value, other->value)) return false;
    }
    return true;
}

}  // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,       RetainTypeValue, ReleaseTypeValue,
                                                                nullptr, EqualTypeValues, HashTypeValue};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, RetainTypeValue, ReleaseTypeValue, nullptr,
                                                                    EqualTypeValues};
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainTypeValue, ReleaseTypeValue, nullptr, EqualTypeValues};
const CFBooleanRef kCFBooleanTrue = &trueValue;
const CFBooleanRef kCFBooleanFalse = &falseValue;

namespace ruvo::cf {

void Destroy(const ObjectHeader* header) noexcept {
    switch (header->kind) {
    case Kind::String: delete static_cast<const __CFString*>(header); break;
    case Kind::Number: delete static_cast<const __CFNumber*>(header); break;
    case Kind::Boolean: break;  // immortal
    case Kind::Data: delete static_cast<const __CFData*>(header); break;
    case Kind::Date: delete static_cast<const __CFDate*>(header); break;
    case Kind::Array: delete static_cast<const __CFArray*>(header); break;
    case Kind::Dictionary: delete static_cast<const __CFDictionary*>(header); break;
    }
}

CFHashCode HashOf(CFTypeRef ref) noexcept {
    const ObjectHeader* header = HeaderOf(ref);
    if (header == nullptr) return std::hash<CFTypeRef>{}(ref);
    switch (header->kind) {
    case Kind::String: return std::hash<std::string_view>{}(As<__CFString>(ref)->utf8);
    case Kind::Number: return HashNumber(*As<__CFNumber>(ref));
    case Kind::Boolean: return As<__CFBoolean>(ref)->value ? 1 : 0;
    case Kind::Data: {
        // The first bytes and the length are enough to spread keys; hashing megabytes is not.
        const auto& bytes = As<__CFData>(ref)->bytes;
        std::string_view head(reinterpret_cast<const char*>(bytes.data()), std::min<size_t>(bytes.size(), 64));
        return std::hash<std::string_view>{}(head) ^ bytes.size();
    }
    case Kind::Date: {
        double t = As<__CFDate>(ref)->time;
        return std::hash<double>{}(t == 0.0 ? 0.0 : t);  // -0.0 and 0.0 are equal
    }
    case Kind::Array: return As<__CFArray>(ref)->values.size();
    case Kind::Dictionary: return As<__CFDictionary>(ref)->entries.size();
    }
    return 0;
}

}  // namespace ruvo::cf

CFTypeRef CFRetain(CFTypeRef cf) {
    const ObjectHeader* header = HeaderOf(cf);
    if (header == nullptr) return nullptr;
    if (header->refs.load(std::memory_order_relaxed) != kImmortal) header->refs.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    const ObjectHeader* header = HeaderOf(cf);
    if (header == nullptr || header->refs.load(std::memory_order_relaxed) == kImmortal) return;
    // acq_rel: every write made by other holders happens before the value is freed.
    if (header->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy(header);
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    const ObjectHeader* header = HeaderOf(cf);
    if (header == nullptr) return 0;
    intptr_t count = header->refs.load(std::memory_order_relaxed);
    return count == kImmortal ? kImmortalRetainCount : static_cast<CFIndex>(count);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    const ObjectHeader* header = HeaderOf(cf);
    return header == nullptr ? 0 : static_cast<CFTypeID>(header->kind);
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == nullptr || cf2 == nullptr) return false;
    if (cf1 == cf2) return true;
    const ObjectHeader* a = HeaderOf(cf1);
    const ObjectHeader* b = HeaderOf(cf2);
    if (a == nullptr || b == nullptr || a->kind != b->kind) return false;
    if (equalDepth >= kMaxEqualDepth) return false;
    EqualDepthGuard depth;
    switch (a->kind) {
    case Kind::String: return As<__CFString>(cf1)->utf8 == As<__CFString>(cf2)->utf8;
    case Kind::Number: return NumbersEqual(*As<__CFNumber>(cf1), *As<__CFNumber>(cf2));
    case Kind::Boolean: return false;  // the two singletons; identity was checked above
    case Kind::Data: return As<__CFData>(cf1)->bytes == As<__CFData>(cf2)->bytes;
    case Kind::Date: return As<__CFDate>(cf1)->time == As<__CFDate>(cf2)->time;
    case Kind::Array: return ArraysEqual(*As<__CFArray>(cf1), *As<__CFArray>(cf2));
    case Kind::Dictionary:
        return DictionariesEqual(*As<__CFDictionary>(cf1), *const_cast<__CFDictionary*>(As<__CFDictionary>(cf2)));
    }
    return false;
}

CFTypeID CFBooleanGetTypeID(void) { return static_cast<CFTypeID>(Kind::Boolean); }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    const __CFBoolean* b = As<__CFBoolean>(boolean);
    return b != nullptr && b->value;
}
