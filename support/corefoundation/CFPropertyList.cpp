// Property lists: our values to and from libplist trees, written and read as XML 1.0 or bplist00.
#include "CFHolder.h"
#include "CFInternal.h"
#include "PlistHolder.h"
#include "PlistInputCheck.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <memory>

using namespace ruvo::cf;
using ruvo::PlistHolder;

namespace {

struct MallocFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, MallocFree>;

enum class Format { Xml, Binary };

// Seconds from 2001-01-01 that libplist 2.2 can hold in a date: a 32-bit count and microseconds.
bool SplitDate(CFAbsoluteTime at, int32_t& seconds, int32_t& micros) {
    if (!std::isfinite(at)) return false;
    double whole = std::floor(at);
    if (whole < INT32_MIN || whole > INT32_MAX) return false;
    auto us = static_cast<int32_t>(std::llround((at - whole) * 1e6));
    if (us == 1000000) {
        if (whole == INT32_MAX) return false;
        whole += 1;
        us = 0;
    }
    seconds = static_cast<int32_t>(whole);
    micros = us;
    return true;
}

// Our value as a new libplist node, or null when it is not a property list: an unknown value,
// a dictionary key that is not a string, a date libplist cannot hold, or nesting deeper than
// kMaxNestingDepth (which also stops a container that holds itself).
plist_t ToPlist(CFTypeRef value, size_t depth) {
    const ObjectHeader* header = HeaderOf(value);
    if (header == nullptr) return nullptr;
    switch (header->kind) {
    case Kind::String: return plist_new_string(As<__CFString>(value)->utf8.c_str());
    case Kind::Number: {
        const __CFNumber* n = As<__CFNumber>(value);
        if (n->isReal) return plist_new_real(n->real);
        // libplist 2.2 has only unsigned integer nodes. It keeps the 64 bits as given and
        // writes them as a signed value, in XML as text and in binary as an 8-byte
        // two's-complement integer, so a negative number comes out as that negative number.
        return plist_new_uint(static_cast<uint64_t>(n->integer));
    }
    case Kind::Boolean: return plist_new_bool(As<__CFBoolean>(value)->value ? 1 : 0);
    case Kind::Data: {
        const auto& bytes = As<__CFData>(value)->bytes;
        return plist_new_data(bytes.empty() ? "" : reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Kind::Date: {
        int32_t seconds = 0;
        int32_t micros = 0;
        if (!SplitDate(As<__CFDate>(value)->time, seconds, micros)) return nullptr;
        return plist_new_date(seconds, micros);
    }
    case Kind::Array: {
        if (depth >= kMaxNestingDepth) return nullptr;
        PlistHolder node(plist_new_array());
        if (!node) return nullptr;
        for (const void* item : As<__CFArray>(value)->values) {
            plist_t child = ToPlist(item, depth + 1);
            if (child == nullptr) return nullptr;
            plist_array_append_item(node.get(), child);
        }
        return node.release();
    }
    case Kind::Dictionary: {
        if (depth >= kMaxNestingDepth) return nullptr;
        PlistHolder node(plist_new_dict());
        if (!node) return nullptr;
        for (const auto& entry : As<__CFDictionary>(value)->entries) {
            const __CFString* key = As<__CFString>(entry.key);
            if (key == nullptr) return nullptr;
            plist_t child = ToPlist(entry.value, depth + 1);
            if (child == nullptr) return nullptr;
            plist_dict_set_item(node.get(), key->utf8.c_str(), child);
        }
        return node.release();
    }
    }
    return nullptr;
}

CFHolder StringFromUtf8(const char* text) {
    if (text == nullptr) return nullptr;
    std::string s(text);
    CFIndex length = Utf16LengthOfUtf8(s);
    if (length < 0) return nullptr;  // libplist passes binary ASCII strings through unchecked
    return CFHolder(MakeString(std::move(s), length));
}

CFHolder NumberFrom(CFNumberType type, const void* value) { return CFHolder(CFNumberCreate(nullptr, type, value)); }

// A libplist node as a new value of ours (mutable containers, retaining keys and values), or
// null for what a property list of ours cannot hold (UIDs, invalid UTF-8, nesting too deep).
// Throws std::bad_alloc; partial trees are released on the way out.
CFHolder FromPlist(plist_t node, size_t depth) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return CFHolder(b ? kCFBooleanTrue : kCFBooleanFalse);
    }
    case PLIST_UINT: {
        // The node holds the integer's 64 bits; property-list integers are signed.
        uint64_t bits = 0;
        plist_get_uint_val(node, &bits);
        auto v = static_cast<int64_t>(bits);
        return NumberFrom(kCFNumberSInt64Type, &v);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return NumberFrom(kCFNumberFloat64Type, &d);
    }
    case PLIST_STRING: {
        char* raw = nullptr;
        plist_get_string_val(node, &raw);
        MallocPtr<char> text(raw);
        return StringFromUtf8(text.get());
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        MallocPtr<char> bytes(raw);
        if (bytes == nullptr && length > 0) return nullptr;
        auto* begin = reinterpret_cast<const uint8_t*>(bytes.get());
        return CFHolder(new __CFData(std::vector<uint8_t>(begin, begin + length)));
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        return CFHolder(new __CFDate(seconds + micros / 1e6));
    }
    case PLIST_ARRAY: {
        if (depth >= kMaxNestingDepth) return nullptr;
        CFHolder array(new __CFArray(&kCFTypeArrayCallBacks));
        auto& values = *AsMutable(static_cast<const __CFArray*>(array.get()));
        // Walked with an iterator: libplist 2.2 keeps no index for arrays it read from binary,
        // so fetching item i walks i nodes, and a long array would cost its length squared.
        plist_array_iter rawIter = nullptr;
        plist_array_new_iter(node, &rawIter);
        MallocPtr<void> iter(rawIter);
        if (!iter) return nullptr;
        while (true) {
            plist_t item = nullptr;
            plist_array_next_item(node, iter.get(), &item);
            if (item == nullptr) break;
            CFHolder child = FromPlist(item, depth + 1);
            if (!child) return nullptr;
            AppendValue(values, child.get());
        }
        return array;
    }
    case PLIST_DICT: {
        if (depth >= kMaxNestingDepth) return nullptr;
        CFHolder dict(new __CFDictionary(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        auto& entries = *AsMutable(static_cast<const __CFDictionary*>(dict.get()));
        plist_dict_iter rawIter = nullptr;
        plist_dict_new_iter(node, &rawIter);
        MallocPtr<void> iter(rawIter);
        if (!iter) return nullptr;
        while (true) {
            char* rawKey = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter.get(), &rawKey, &item);
            MallocPtr<char> key(rawKey);
            if (item == nullptr) break;
            CFHolder keyString = StringFromUtf8(key.get());
            CFHolder child = FromPlist(item, depth + 1);
            if (!keyString || !child) return nullptr;
            PutEntry(entries, keyString.get(), child.get(), Existing::Replace);
        }
        return dict;
    }
    default: return nullptr;  // keys only occur inside dictionaries; UIDs belong to archives
    }
}

CFDataRef WritePropertyList(CFPropertyListRef propertyList, Format format) {
    return CallNoThrow<CFDataRef>(nullptr, [&]() -> CFDataRef {
        PlistHolder root(ToPlist(propertyList, 0));
        if (!root) return nullptr;
        char* raw = nullptr;
        uint32_t length = 0;
        if (format == Format::Xml)
            plist_to_xml(root.get(), &raw, &length);
        else
            plist_to_bin(root.get(), &raw, &length);
        MallocPtr<char> text(raw);
        if (!text) return nullptr;
        auto* begin = reinterpret_cast<const uint8_t*>(text.get());
        return new __CFData(std::vector<uint8_t>(begin, begin + length));
    });
}

constexpr std::string_view kBinaryMagic = "bplist00";

// Reads XML or binary; problem tells why when the result is null.
CFPropertyListRef ReadPropertyList(CFDataRef data, CFPropertyListFormat* format, const char*& problem) {
    const __CFData* d = As<__CFData>(data);
    if (d == nullptr) {
        problem = "no property list data";
        return nullptr;
    }
    std::string_view bytes(reinterpret_cast<const char*>(d->bytes.data()), d->bytes.size());
    if (bytes.empty()) {
        problem = "empty property list";
        return nullptr;
    }
    if (bytes.size() > kMaxPropertyListBytes) {
        problem = "property list too large";
        return nullptr;
    }
    const bool binary = bytes.starts_with(kBinaryMagic);
    switch (binary ? CheckBinaryStructure(bytes) : CheckXmlNesting(bytes)) {
    case InputCheck::Ok: break;
    case InputCheck::Malformed: problem = "malformed property list"; return nullptr;
    case InputCheck::TooDeep: problem = "property list nested too deeply"; return nullptr;
    case InputCheck::TooLarge: problem = "property list too large"; return nullptr;
    }
    problem = "malformed property list";
    return CallNoThrow<CFPropertyListRef>(nullptr, [&]() -> CFPropertyListRef {
        plist_t raw = nullptr;
        if (binary) {
            plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
        } else {
            // A terminated copy: libplist's XML reader compares markers with strncmp.
            std::string text(bytes);
            plist_from_xml(text.c_str(), static_cast<uint32_t>(text.size()), &raw);
        }
        PlistHolder root(raw);
        if (!root) return nullptr;
        CFHolder value = FromPlist(root.get(), 0);
        if (!value) {
            problem = "property list holds values that cannot be read";
            return nullptr;
        }
        if (format != nullptr) *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
        problem = nullptr;
        return value.release();
    });
}

}  // namespace

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef, CFPropertyListRef propertyList) {
    return WritePropertyList(propertyList, Format::Xml);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList, CFPropertyListFormat format,
                                   CFOptionFlags, CFErrorRef* error) {
    if (error != nullptr) *error = nullptr;
    switch (format) {
    case kCFPropertyListXMLFormat_v1_0: return WritePropertyList(propertyList, Format::Xml);
    case kCFPropertyListBinaryFormat_v1_0: return WritePropertyList(propertyList, Format::Binary);
    default: return nullptr;  // the OpenStep format is read-only even in CoreFoundation
    }
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData, CFOptionFlags,
                                                  CFStringRef* errorString) {
    if (errorString != nullptr) *errorString = nullptr;
    const char* problem = nullptr;
    CFPropertyListRef result = ReadPropertyList(xmlData, nullptr, problem);
    if (result == nullptr && errorString != nullptr) {
        *errorString = CFStringCreateWithCString(nullptr, problem ? problem : "out of memory", kCFStringEncodingUTF8);
    }
    return result;
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags,
                                               CFPropertyListFormat* format, CFErrorRef* error) {
    if (error != nullptr) *error = nullptr;
    const char* problem = nullptr;
    return ReadPropertyList(data, format, problem);
}
