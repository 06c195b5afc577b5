// Numbers (kept at the width they were created with), data blocks and dates.
#include "CFInternal.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

using namespace ruvo::cf;

namespace {

enum class Storage { Int8, Int16, Int32, Int64, Float32, Float64, Invalid };

Storage StorageOf(CFNumberType type) {
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType: return Storage::Int8;
    case kCFNumberSInt16Type:
    case kCFNumberShortType: return Storage::Int16;
    case kCFNumberSInt32Type:
    case kCFNumberIntType: return Storage::Int32;
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType: return Storage::Int64;
    case kCFNumberLongType:
    case kCFNumberCFIndexType: return sizeof(long) == 8 ? Storage::Int64 : Storage::Int32;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType: return Storage::Float32;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType: return Storage::Float64;
    default: return Storage::Invalid;
    }
}

template <typename T>
T ReadAs(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void WriteAs(void* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Converts to the integer type T, saturating; true when the value was represented exactly.
template <typename T>
bool ToInteger(const __CFNumber& n, void* out) {
    constexpr long double lo = std::numeric_limits<T>::min();
    constexpr long double hi = std::numeric_limits<T>::max();
    // long double carries every int64_t exactly, so the range checks below are exact.
    long double v;
    bool exact = true;
    if (n.isReal) {
        if (std::isnan(n.real)) {
            WriteAs<T>(out, 0);
            return false;
        }
        v = std::trunc(static_cast<long double>(n.real));
        exact = v == n.real;
    } else {
        v = n.integer;
    }
    if (v < lo) {
        WriteAs<T>(out, std::numeric_limits<T>::min());
        return false;
    }
    if (v > hi) {
        WriteAs<T>(out, std::numeric_limits<T>::max());
        return false;
    }
    WriteAs<T>(out, static_cast<T>(v));
    return exact;
}

bool ToFloat32(const __CFNumber& n, void* out) {
    if (!n.isReal) {
        float f = static_cast<float>(n.integer);
        WriteAs(out, f);
        return static_cast<long double>(f) == static_cast<long double>(n.integer);
    }
    if (std::isnan(n.real)) {
        WriteAs(out, std::numeric_limits<float>::quiet_NaN());
        return true;
    }
    if (std::isfinite(n.real) && std::fabs(n.real) > FLT_MAX) {
        constexpr float inf = std::numeric_limits<float>::infinity();
        WriteAs(out, n.real > 0 ? inf : -inf);
        return false;
    }
    float f = static_cast<float>(n.real);
    WriteAs(out, f);
    return static_cast<double>(f) == n.real;
}

bool ToFloat64(const __CFNumber& n, void* out) {
    if (n.isReal) {
        WriteAs(out, n.real);
        return true;
    }
    double d = static_cast<double>(n.integer);
    WriteAs(out, d);
    return static_cast<long double>(d) == static_cast<long double>(n.integer);
}

// Pointer handed out for an empty data block, so callers never get null for a valid value.
constexpr UInt8 kNoBytes[1] = {0};

}  // namespace

CFTypeID CFNumberGetTypeID(void) { return static_cast<CFTypeID>(Kind::Number); }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    Storage storage = StorageOf(theType);
    if (valuePtr == nullptr || storage == Storage::Invalid) return nullptr;
    return CallNoThrow<CFNumberRef>(nullptr, [&]() -> CFNumberRef {
        auto* n = new __CFNumber(theType);
        switch (storage) {
        case Storage::Int8: n->integer = ReadAs<int8_t>(valuePtr); break;
        case Storage::Int16: n->integer = ReadAs<int16_t>(valuePtr); break;
        case Storage::Int32: n->integer = ReadAs<int32_t>(valuePtr); break;
        case Storage::Int64: n->integer = ReadAs<int64_t>(valuePtr); break;
        case Storage::Float32:
            n->isReal = true;
            n->real = ReadAs<float>(valuePtr);
            break;
        case Storage::Float64:
            n->isReal = true;
            n->real = ReadAs<double>(valuePtr);
            break;
        case Storage::Invalid: break;
        }
        return n;
    });
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    const __CFNumber* n = As<__CFNumber>(number);
    return n == nullptr ? 0 : n->type;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber* n = As<__CFNumber>(number);
    if (n == nullptr || valuePtr == nullptr) return false;
    switch (StorageOf(theType)) {
    case Storage::Int8: return ToInteger<int8_t>(*n, valuePtr);
    case Storage::Int16: return ToInteger<int16_t>(*n, valuePtr);
    case Storage::Int32: return ToInteger<int32_t>(*n, valuePtr);
    case Storage::Int64: return ToInteger<int64_t>(*n, valuePtr);
    case Storage::Float32: return ToFloat32(*n, valuePtr);
    case Storage::Float64: return ToFloat64(*n, valuePtr);
    case Storage::Invalid: return false;
    }
    return false;
}

CFTypeID CFDataGetTypeID(void) { return static_cast<CFTypeID>(Kind::Data); }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (bytes == nullptr && length > 0)) return nullptr;
    return CallNoThrow<CFDataRef>(nullptr, [&]() -> CFDataRef {
        std::vector<uint8_t> copy(bytes, bytes + length);
        return new __CFData(std::move(copy));
    });
}

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
    const __CFData* d = As<__CFData>(theData);
    if (d == nullptr) return nullptr;
    return d->bytes.empty() ? kNoBytes : d->bytes.data();
}

CFIndex CFDataGetLength(CFDataRef theData) {
    const __CFData* d = As<__CFData>(theData);
    return d == nullptr ? 0 : static_cast<CFIndex>(d->bytes.size());
}

CFTypeID CFDateGetTypeID(void) { return static_cast<CFTypeID>(Kind::Date); }

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
    return CallNoThrow<CFDateRef>(nullptr, [&]() -> CFDateRef { return new __CFDate(at); });
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
    const __CFDate* d = As<__CFDate>(theDate);
    return d == nullptr ? 0.0 : d->time;
}
