// Tests of the CoreFoundation stand-in: reference counts, containers, strings, numbers, and the
// XML and binary property lists checked against Python's plistlib as an independent reader.
#include "BigEndian.h"
#include "CFHolder.h"
#include "CoreFoundation.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// One owned reference, released at scope end.
using Ref = ruvo::cf::CFHolder;

Ref MakeString(const char* text) { return Ref(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8)); }

template <typename T>
Ref makeNumber(CFNumberType type, T value) {
    return Ref(CFNumberCreate(nullptr, type, &value));
}

Ref makeData(std::string_view bytes) {
    return Ref(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}

CFMutableDictionaryRef typeDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFMutableArrayRef typeArray() { return CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks); }

auto dict(const Ref& r) { return static_cast<CFMutableDictionaryRef>(const_cast<void*>(r.get())); }
auto array(const Ref& r) { return static_cast<CFMutableArrayRef>(const_cast<void*>(r.get())); }
auto str(const Ref& r) { return static_cast<CFStringRef>(r.get()); }
auto data(const Ref& r) { return static_cast<CFDataRef>(r.get()); }

std::string bytesOf(CFDataRef d) {
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<size_t>(CFDataGetLength(d)));
}

std::string textOf(CFTypeRef s) {
    std::vector<char> buffer(static_cast<size_t>(3 * CFStringGetLength(static_cast<CFStringRef>(s)) + 1));
    if (!CFStringGetCString(static_cast<CFStringRef>(s), buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8))
        return "<not a string>";
    return buffer.data();
}

int64_t int64Of(CFTypeRef n) {
    int64_t v = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(n), kCFNumberSInt64Type, &v));
    return v;
}

// Serialises with the given format (100 XML, 200 binary).
Ref write(CFTypeRef plist, CFPropertyListFormat format) {
    CFErrorRef error = reinterpret_cast<CFErrorRef>(1);
    Ref out(CFPropertyListCreateData(nullptr, plist, format, 0, &error));
    EXPECT_EQ(error, nullptr);
    return out;
}

// Reads through both entry points and checks that they agree on success or failure.
Ref read(std::string_view bytes, CFPropertyListFormat* format = nullptr) {
    Ref input = makeData(bytes);
    CFErrorRef error = reinterpret_cast<CFErrorRef>(1);
    Ref viaWithData(
        CFPropertyListCreateWithData(nullptr, data(input), kCFPropertyListMutableContainers, format, &error));
    EXPECT_EQ(error, nullptr);
    CFStringRef problem = nullptr;
    Ref viaXmlData(CFPropertyListCreateFromXMLData(nullptr, data(input), kCFPropertyListMutableContainers, &problem));
    EXPECT_EQ(viaWithData == nullptr, viaXmlData == nullptr);
    EXPECT_EQ(viaXmlData == nullptr, problem != nullptr) << "a failure is explained, a success is not";
    if (problem != nullptr) CFRelease(problem);
    return viaWithData;
}

// ---- Python's plistlib as the independent reader and writer ----

std::string shellQuoted(const std::string& s) { return "'" + s + "'"; }

std::string tempPath() {
    std::string pattern = testing::TempDir() + "ruvo_cf_XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd >= 0) close(fd);
    return pattern;
}

std::string runPython(const std::string& arguments) {
    std::string command = "python3 " + shellQuoted(RUVO_PLIST_TOOL) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "<python3 did not start>";
    std::string output;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
    int status = pclose(pipe);
    if (status != 0) output = "<python3 failed: " + output + ">";
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

// What plistlib reads from the bytes: "xml <json>" or "binary <json>".
std::string plistlibDump(std::string_view bytes) {
    std::string path = tempPath();
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::string output = runPython("dump " + shellQuoted(path));
    std::remove(path.c_str());
    return output;
}

// The sample property list plistlib writes in the given format ("xml" or "binary").
std::string plistlibSample(const std::string& format) {
    std::string path = tempPath();
    std::string output = runPython("write " + format + " " + shellQuoted(path));
    EXPECT_EQ(output, "");
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
}

// The same sample as plist_tool.py's, built through the C interface.
Ref buildSample() {
    Ref root(typeDictionary());
    auto set = [&](const char* key, const Ref& value) {
        CFDictionarySetValue(dict(root), __CFStringMakeConstantString(key), value.get());
    };
    set("name", MakeString("Ringtone \u266b \u65e5\u672c"));
    set("count", makeNumber<int8_t>(kCFNumberSInt8Type, -5));
    set("min", makeNumber<int64_t>(kCFNumberSInt64Type, std::numeric_limits<int64_t>::min()));
    set("max", makeNumber<long long>(kCFNumberLongLongType, std::numeric_limits<long long>::max()));
    set("ratio", makeNumber<double>(kCFNumberFloat64Type, -0.25));
    CFDictionarySetValue(dict(root), CFSTR("on"), kCFBooleanTrue);
    CFDictionarySetValue(dict(root), CFSTR("off"), kCFBooleanFalse);
    set("blob", makeData(std::string_view("\x00\x01\xff", 3)));
    Ref list(typeArray());
    CFArrayAppendValue(array(list), makeNumber<int32_t>(kCFNumberSInt32Type, 1).get());
    CFArrayAppendValue(array(list), MakeString("two").get());
    CFArrayAppendValue(array(list), Ref(typeArray()).get());
    CFArrayAppendValue(array(list), Ref(typeDictionary()).get());
    set("list", list);
    set("when", Ref(CFDateCreate(nullptr, 0.0)));
    set("escaped", MakeString("<&>\"'"));
    return root;
}

const std::string kSampleDump =
    R"(["dict",[["name",["str","Ringtone ♫ 日本"]],["count",["int",-5]],)"
    R"(["min",["int",-9223372036854775808]],["max",["int",9223372036854775807]],["ratio",["real",-0.25]],)"
    R"(["on",["bool",true]],["off",["bool",false]],["blob",["data","0001ff"]],)"
    R"(["list",["array",[["int",1],["str","two"],["array",[]],["dict",[]]]]],)"
    R"(["when",["date","2001-01-01T00:00:00"]],["escaped",["str","<&>\"'"]]]])";

// ---- Hand-made binary property lists, for shapes no honest writer produces ----

class BinaryPlistBuilder {
public:
    // An array of references to other objects; returns its object index.
    uint64_t array(const std::vector<uint64_t>& refs) {
        std::string object;
        if (refs.size() < 15) {
            object += static_cast<char>(0xA0 | refs.size());
        } else {
            object += static_cast<char>(0xAF);
            object += static_cast<char>(0x12);  // the count, as a 4-byte integer
            ruvo::AppendBigEndian(object, refs.size(), 4);
        }
        for (uint64_t ref : refs) ruvo::AppendBigEndian(object, ref, kRefSize);
        return add(object);
    }
    uint64_t boolean(bool value) { return add(std::string(1, value ? '\x09' : '\x08')); }

    // The file, with top as the root object; tableShift moves every offset (to break them).
    std::string build(uint64_t top, uint64_t tableShift = 0) const {
        std::string out = "bplist00";
        std::vector<uint64_t> offsets;
        for (const auto& object : objects_) {
            offsets.push_back(out.size() + tableShift);
            out += object;
        }
        uint64_t tableOffset = out.size();
        for (uint64_t offset : offsets) ruvo::AppendBigEndian(out, offset, kOffsetSize);
        out += std::string(6, '\0');
        out += static_cast<char>(kOffsetSize);
        out += static_cast<char>(kRefSize);
        ruvo::AppendBigEndian(out, objects_.size(), 8);
        ruvo::AppendBigEndian(out, top, 8);
        ruvo::AppendBigEndian(out, tableOffset, 8);
        return out;
    }

    // Arrays nested depth deep: object i holds object i + 1, the last one is empty.
    static std::string chain(uint64_t depth) {
        BinaryPlistBuilder b;
        for (uint64_t i = 0; i + 1 < depth; ++i) b.array({i + 1});
        b.array({});
        return b.build(0);
    }

private:
    static constexpr size_t kRefSize = 4;
    static constexpr size_t kOffsetSize = 4;

    uint64_t add(std::string object) {
        objects_.push_back(std::move(object));
        return objects_.size() - 1;
    }

    std::vector<std::string> objects_;
};

std::string nestedXml(size_t depth, const std::string& open, const std::string& close) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (size_t i = 0; i < depth; ++i) text += open;
    for (size_t i = 0; i < depth; ++i) text += close;
    return text + "</plist>\n";
}

// ---- Reference counting ----

TEST(CFRetainRelease, CountsOwnersAndContainersKeepTheirValues) {
    Ref number = makeNumber<int32_t>(kCFNumberSInt32Type, 42);
    EXPECT_EQ(CFGetRetainCount(number.get()), 1);
    EXPECT_EQ(CFRetain(number.get()), number.get());
    EXPECT_EQ(CFGetRetainCount(number.get()), 2);
    CFRelease(number.get());
    EXPECT_EQ(CFGetRetainCount(number.get()), 1);

    // A retaining array keeps its value alive after the creator lets go (ASan would see a
    // use after free otherwise) and lets go of it when freed (LeakSanitizer sees a leak otherwise).
    Ref list(typeArray());
    {
        Ref text = MakeString("kept");
        CFArrayAppendValue(array(list), text.get());
        EXPECT_EQ(CFGetRetainCount(text.get()), 2);
    }
    const void* kept = CFArrayGetValueAtIndex(array(list), 0);
    EXPECT_EQ(CFGetRetainCount(kept), 1);
    EXPECT_EQ(textOf(kept), "kept");
}

TEST(CFRetainRelease, CountsStayExactUnderConcurrentRetainAndRelease) {
    Ref shared = MakeString("shared");
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) CFRetain(shared.get());
            for (int i = 0; i < kRounds; ++i) CFRelease(shared.get());
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(CFGetRetainCount(shared.get()), 1);
}

// ---- Dictionaries ----

TEST(CFDictionary, RetainsThroughTypeCallbacksOnlyAndReleasesOnReplaceAndRemove) {
    struct Case {
        const char* desc;
        const CFDictionaryKeyCallBacks* keys;
        const CFDictionaryValueCallBacks* values;
        CFIndex held;  // count of a key or value while the dictionary holds it
    };
    const Case cases[] = {
        {"kCFType callbacks retain", &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks, 2},
        {"null callbacks do not", nullptr, nullptr, 1},
    };
    for (const auto& c : cases) {
        Ref d(CFDictionaryCreateMutable(nullptr, 2, c.keys, c.values));
        Ref key = MakeString("Key");
        Ref first = makeNumber<int32_t>(kCFNumberSInt32Type, 1);
        Ref second = makeNumber<int32_t>(kCFNumberSInt32Type, 2);

        CFDictionarySetValue(dict(d), key.get(), first.get());
        EXPECT_EQ(CFGetRetainCount(key.get()), c.held) << c.desc;
        EXPECT_EQ(CFGetRetainCount(first.get()), c.held) << c.desc;

        CFDictionaryAddValue(dict(d), key.get(), second.get());  // key present: no change
        EXPECT_EQ(CFDictionaryGetValue(dict(d), key.get()), first.get()) << c.desc;
        EXPECT_EQ(CFGetRetainCount(second.get()), 1) << c.desc;

        CFDictionarySetValue(dict(d), key.get(), second.get());  // replaces
        EXPECT_EQ(CFDictionaryGetValue(dict(d), key.get()), second.get()) << c.desc;
        EXPECT_EQ(CFGetRetainCount(first.get()), 1) << c.desc;
        EXPECT_EQ(CFGetRetainCount(second.get()), c.held) << c.desc;
        EXPECT_EQ(CFDictionaryGetCount(dict(d)), 1) << c.desc;

        CFDictionaryRemoveValue(dict(d), key.get());
        EXPECT_EQ(CFDictionaryGetCount(dict(d)), 0) << c.desc;
        EXPECT_EQ(CFDictionaryGetValue(dict(d), key.get()), nullptr) << c.desc;
        EXPECT_EQ(CFGetRetainCount(key.get()), 1) << c.desc;
        EXPECT_EQ(CFGetRetainCount(second.get()), 1) << c.desc;

        CFDictionarySetValue(dict(d), key.get(), first.get());
        d.reset();  // freeing the dictionary lets go of what it held
        EXPECT_EQ(CFGetRetainCount(key.get()), 1) << c.desc;
        EXPECT_EQ(CFGetRetainCount(first.get()), 1) << c.desc;
    }
}

TEST(CFDictionary, TypeCallbacksMatchKeysByValueNullCallbacksByIdentity) {
    Ref stored = MakeString("ApplicationType");
    Ref sameText = MakeString("ApplicationType");
    Ref value = MakeString("User");

    Ref byValue(typeDictionary());
    CFDictionarySetValue(dict(byValue), stored.get(), value.get());
    EXPECT_EQ(CFDictionaryGetValue(dict(byValue), sameText.get()), value.get());
    EXPECT_EQ(CFDictionaryGetValue(dict(byValue), CFSTR("ApplicationType")), value.get());
    EXPECT_EQ(CFDictionaryGetValue(dict(byValue), CFSTR("applicationtype")), nullptr);
    // Numbers as keys: equal values hash alike whatever their width or kind.
    CFDictionarySetValue(dict(byValue), makeNumber<int8_t>(kCFNumberSInt8Type, 5).get(), value.get());
    EXPECT_EQ(CFDictionaryGetValue(dict(byValue), makeNumber<double>(kCFNumberFloat64Type, 5.0).get()), value.get());

    Ref byIdentity(CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr));
    CFDictionarySetValue(dict(byIdentity), stored.get(), value.get());
    CFDictionarySetValue(dict(byIdentity), CFSTR("ApplicationType"), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(dict(byIdentity)), 2);
    EXPECT_EQ(CFDictionaryGetValue(dict(byIdentity), stored.get()), value.get());
    EXPECT_EQ(CFDictionaryGetValue(dict(byIdentity), sameText.get()), nullptr);
    EXPECT_EQ(CFDictionaryGetValue(dict(byIdentity), CFSTR("ApplicationType")), kCFBooleanTrue);
}

TEST(CFDictionary, KeepsInsertionOrderAndGivesKeysAndValuesInTheSameOrder) {
    Ref d(typeDictionary());
    auto put = [&](const char* key, int32_t v) {
        CFDictionarySetValue(dict(d), __CFStringMakeConstantString(key), makeNumber(kCFNumberSInt32Type, v).get());
    };
    put("zeta", 1);
    put("alpha", 2);
    put("mid", 3);
    put("zeta", 4);  // replacing keeps the key's place
    CFDictionaryRemoveValue(dict(d), CFSTR("alpha"));
    put("beta", 5);
    CFDictionaryAddValue(dict(d), CFSTR("mid"), kCFBooleanTrue);  // present: ignored

    ASSERT_EQ(CFDictionaryGetCount(dict(d)), 3);
    std::vector<const void*> keys(3), values(3), valuesOnly(3);
    CFDictionaryGetKeysAndValues(dict(d), keys.data(), values.data());
    CFDictionaryGetKeysAndValues(dict(d), nullptr, valuesOnly.data());
    const std::pair<const char*, int64_t> expected[] = {{"zeta", 4}, {"mid", 3}, {"beta", 5}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(textOf(keys[i]), expected[i].first) << i;
        EXPECT_EQ(int64Of(values[i]), expected[i].second) << i;
        EXPECT_EQ(valuesOnly[i], values[i]) << i;
        EXPECT_EQ(CFDictionaryGetValue(dict(d), keys[i]), values[i]) << i;
    }
}

// ---- Strings ----

TEST(CFString, ConstantStringsAreInternedAndSurviveRelease) {
    CFStringRef a = CFSTR("Ruvo");
    std::string sameText = "Ruvo";
    EXPECT_EQ(__CFStringMakeConstantString(sameText.c_str()), a);
    EXPECT_NE(CFSTR("Ruvo2"), a);

    CFIndex count = CFGetRetainCount(a);
    for (int i = 0; i < 5; ++i) CFRelease(a);
    CFRetain(a);
    EXPECT_EQ(CFGetRetainCount(a), count);
    EXPECT_EQ(textOf(a), "Ruvo");
    EXPECT_EQ(CFSTR("Ruvo"), a);

    // Threads interning the same texts at once all get the same strings.
    constexpr int kThreads = 6;
    constexpr int kTexts = 300;
    std::vector<std::vector<CFStringRef>> seen(kThreads, std::vector<CFStringRef>(kTexts));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&seen, t] {
            for (int i = 0; i < kTexts; ++i) {
                int k = (t % 2 == 0) ? i : kTexts - 1 - i;  // half of them in reverse order
                seen[t][k] = __CFStringMakeConstantString(("interned-" + std::to_string(k)).c_str());
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<CFStringRef> distinct;
    for (int i = 0; i < kTexts; ++i) {
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << "text " << i;
        distinct.insert(seen[0][i]);
        EXPECT_EQ(textOf(seen[0][i]), "interned-" + std::to_string(i));
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kTexts));
}

TEST(CFString, LengthCountsUtf16Units) {
    const struct {
        const char* text;
        CFIndex length;
    } cases[] = {
        {"", 0}, {"abc", 3}, {"h\u00e9llo", 5}, {"\u65e5\u672c\u8a9e", 3}, {"\U0001F600", 2}, {"a\U0001F600b", 4},
    };
    for (const auto& c : cases) {
        Ref s = MakeString(c.text);
        ASSERT_NE(s, nullptr) << c.text;
        EXPECT_EQ(CFStringGetLength(str(s)), c.length) << c.text;
        EXPECT_EQ(textOf(s.get()), c.text);
    }
}

TEST(CFString, RejectsTextThatIsNotUtf8) {
    const struct {
        const char* desc;
        const char* bytes;
    } cases[] = {
        {"lone continuation byte", "a\x80"},  {"truncated sequence", "\xe6\x97"},
        {"overlong slash", "\xc0\xaf"},       {"overlong three-byte form", "\xe0\x80\xaf"},
        {"UTF-16 surrogate", "\xed\xa0\x80"}, {"beyond U+10FFFF", "\xf4\x90\x80\x80"},
        {"Latin-1 byte", "caf\xe9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MakeString(c.bytes), nullptr) << c.desc;
        EXPECT_EQ(__CFStringMakeConstantString(c.bytes), nullptr) << c.desc;
    }
    constexpr CFStringEncoding kASCII = 0x0600;
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "abc", kASCII), nullptr) << "only UTF-8 is offered";
}

TEST(CFString, GetCStringSucceedsOnlyWhenTextAndTerminatorFit) {
    Ref s = MakeString("\u65e5\u672c");  // 2 UTF-16 units, 6 UTF-8 bytes
    const struct {
        CFIndex size;
        bool fits;
    } cases[] = {
        {64, true}, {3 * 2 + 1, true} /* callers' 3 x length + 1: an exact fit */, {6, false}, {1, false}, {0, false}};
    for (const auto& c : cases) {
        std::vector<char> buffer(static_cast<size_t>(c.size) + 1, 'x');
        EXPECT_EQ(CFStringGetCString(str(s), buffer.data(), c.size, kCFStringEncodingUTF8), c.fits) << c.size;
        if (c.fits) {
            EXPECT_STREQ(buffer.data(), "\u65e5\u672c") << c.size;
        } else if (c.size > 0) {
            EXPECT_EQ(buffer[0], '\0') << "a failed copy leaves an empty string, size " << c.size;
        }
    }
}

TEST(CFString, CompareOrdersByUtf16UnitsAndFoldsCaseOnRequest) {
    const struct {
        const char* a;
        const char* b;
        CFOptionFlags options;
        CFComparisonResult expected;
    } cases[] = {
        {"ApplicationType", "applicationtype", kCFCompareCaseInsensitive, 0},
        {"ApplicationType", "applicationtype", 0, -1},  // 'A' sorts before 'a'
        {"abc", "abd", 0, -1},
        {"abd", "ABC", kCFCompareCaseInsensitive, 1},
        {"ab", "abc", kCFCompareCaseInsensitive, -1},
        {"", "", 0, 0},
        {"", "a", 0, -1},
        {"\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3", "\u03c3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2",
         kCFCompareCaseInsensitive, 0},  // Greek, final sigma
        {"\u041f\u0420\u0418\u0412\u0415\u0422", "\u043f\u0440\u0438\u0432\u0435\u0442", kCFCompareCaseInsensitive, 0},
        {"\u212a", "k", kCFCompareCaseInsensitive, 0},               // Kelvin sign
        {"\U00010400", "\U00010428", kCFCompareCaseInsensitive, 0},  // Deseret, above U+FFFF
        {"\U00010400", "\U00010428", 0, -1},
        // U+FF61 is one unit 0xFF61; U+1F600 is the pair D83D DE00, which sorts first in UTF-16
        // although its UTF-8 form sorts last.
        {"\uff61", "\U0001F600", 0, 1},
    };
    for (const auto& c : cases) {
        Ref a = MakeString(c.a);
        Ref b = MakeString(c.b);
        EXPECT_EQ(CFStringCompare(str(a), str(b), c.options), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(CFStringCompare(str(b), str(a), c.options), -c.expected) << c.b << " vs " << c.a;
    }
    EXPECT_EQ(CFStringCompare(nullptr, CFSTR("x"), kCFCompareCaseInsensitive), kCFCompareLessThan)
        << "a missing string never equals a string";
    EXPECT_EQ(CFStringCompare(CFSTR("x"), nullptr, 0), kCFCompareGreaterThan);
}

// ---- Numbers, booleans, data, type ids, equality ----

template <typename T>
void expectRoundTrip(CFNumberType type, T value, const char* desc) {
    Ref n = makeNumber<T>(type, value);
    ASSERT_NE(n, nullptr) << desc;
    EXPECT_EQ(CFNumberGetType(static_cast<CFNumberRef>(n.get())), type) << desc;
    T back{};
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(n.get()), type, &back)) << desc;
    EXPECT_EQ(back, value) << desc;
}

TEST(CFNumber, EveryWidthKeepsItsTypeAndExtremes) {
    expectRoundTrip<int8_t>(kCFNumberSInt8Type, INT8_MIN, "SInt8 min");
    expectRoundTrip<int8_t>(kCFNumberSInt8Type, INT8_MAX, "SInt8 max");
    expectRoundTrip<int16_t>(kCFNumberSInt16Type, INT16_MIN, "SInt16 min");
    expectRoundTrip<int16_t>(kCFNumberSInt16Type, INT16_MAX, "SInt16 max");
    expectRoundTrip<int32_t>(kCFNumberSInt32Type, INT32_MIN, "SInt32 min");
    expectRoundTrip<int32_t>(kCFNumberSInt32Type, INT32_MAX, "SInt32 max");
    expectRoundTrip<int64_t>(kCFNumberSInt64Type, INT64_MIN, "SInt64 min");
    expectRoundTrip<int64_t>(kCFNumberSInt64Type, INT64_MAX, "SInt64 max");
    expectRoundTrip<long>(kCFNumberLongType, std::numeric_limits<long>::min(), "long min");
    expectRoundTrip<long long>(kCFNumberLongLongType, std::numeric_limits<long long>::max(), "long long max");
    expectRoundTrip<char>(kCFNumberCharType, -7, "char");
    expectRoundTrip<short>(kCFNumberShortType, -300, "short");
    expectRoundTrip<int>(kCFNumberIntType, -70000, "int");
    expectRoundTrip<CFIndex>(kCFNumberCFIndexType, -1, "CFIndex");
    expectRoundTrip<float>(kCFNumberFloat32Type, 0.1f, "Float32");
    expectRoundTrip<double>(kCFNumberFloat64Type, 0.1, "Float64");
    expectRoundTrip<double>(kCFNumberDoubleType, -1e300, "double");
    int32_t v = 1;
    EXPECT_EQ(CFNumberCreate(nullptr, 99, &v), nullptr) << "unknown number type";
}

TEST(CFNumber, GetValueConvertsAndTellsWhenValueIsLost) {
    const struct {
        const char* desc;
        bool sourceIsReal;
        int64_t integer;
        double real;
        CFNumberType target;
        bool exact;
        long double expected;
    } cases[] = {
        {"SInt64 300 to SInt8 saturates", false, 300, 0, kCFNumberSInt8Type, false, 127},
        {"SInt64 -300 to SInt8 saturates", false, -300, 0, kCFNumberSInt8Type, false, -128},
        {"SInt64 -5 to SInt8", false, -5, 0, kCFNumberSInt8Type, true, -5},
        {"SInt64 -5 to SInt32", false, -5, 0, kCFNumberSInt32Type, true, -5},
        {"SInt64 7 to Float64", false, 7, 0, kCFNumberFloat64Type, true, 7},
        {"SInt64 max to Float64 rounds", false, INT64_MAX, 0, kCFNumberFloat64Type, false, 0x1p63L},
        {"SInt64 2^24+1 to Float32 rounds", false, (1 << 24) + 1, 0, kCFNumberFloat32Type, false, 1 << 24},
        {"Float64 2.5 to SInt32 truncates", true, 0, 2.5, kCFNumberSInt32Type, false, 2},
        {"Float64 -2.0 to SInt16", true, 0, -2.0, kCFNumberSInt16Type, true, -2},
        {"Float64 1e10 to SInt32 saturates", true, 0, 1e10, kCFNumberSInt32Type, false, INT32_MAX},
        {"Float64 1e300 to Float32 overflows", true, 0, 1e300, kCFNumberFloat32Type, false, HUGE_VALL},
        {"Float64 0.5 to Float32", true, 0, 0.5, kCFNumberFloat32Type, true, 0.5},
        {"Float64 0.1 to Float32 rounds", true, 0, 0.1, kCFNumberFloat32Type, false, 0.1f},
    };
    for (const auto& c : cases) {
        Ref n = c.sourceIsReal ? makeNumber<double>(kCFNumberFloat64Type, c.real)
                               : makeNumber<int64_t>(kCFNumberSInt64Type, c.integer);
        long double got = 0;
        bool exact = false;
        auto num = static_cast<CFNumberRef>(n.get());
        switch (c.target) {
        case kCFNumberSInt8Type: {
            int8_t x;
            exact = CFNumberGetValue(num, c.target, &x);
            got = x;
            break;
        }
        case kCFNumberSInt16Type: {
            int16_t x;
            exact = CFNumberGetValue(num, c.target, &x);
            got = x;
            break;
        }
        case kCFNumberSInt32Type: {
            int32_t x;
            exact = CFNumberGetValue(num, c.target, &x);
            got = x;
            break;
        }
        case kCFNumberFloat32Type: {
            float x;
            exact = CFNumberGetValue(num, c.target, &x);
            got = x;
            break;
        }
        case kCFNumberFloat64Type: {
            double x;
            exact = CFNumberGetValue(num, c.target, &x);
            got = x;
            break;
        }
        default: FAIL() << c.desc;
        }
        EXPECT_EQ(exact, c.exact) << c.desc;
        EXPECT_EQ(got, c.expected) << c.desc;
    }
    Ref nan = makeNumber<double>(kCFNumberFloat64Type, std::nan(""));
    int32_t x = 99;
    EXPECT_FALSE(CFNumberGetValue(static_cast<CFNumberRef>(nan.get()), kCFNumberSInt32Type, &x));
    EXPECT_EQ(x, 0);
}

TEST(CFTypes, EachKindHasItsOwnTypeId) {
    Ref s = MakeString("s");
    Ref n = makeNumber<int32_t>(kCFNumberSInt32Type, 1);
    Ref d = makeData("d");
    Ref t(CFDateCreate(nullptr, 1.0));
    Ref a(typeArray());
    Ref m(typeDictionary());
    const struct {
        const char* desc;
        CFTypeRef value;
        CFTypeID id;
    } cases[] = {
        {"string", s.get(), CFStringGetTypeID()},
        {"number", n.get(), CFNumberGetTypeID()},
        {"boolean", kCFBooleanTrue, CFBooleanGetTypeID()},
        {"data", d.get(), CFDataGetTypeID()},
        {"date", t.get(), CFDateGetTypeID()},
        {"array", a.get(), CFArrayGetTypeID()},
        {"dictionary", m.get(), CFDictionaryGetTypeID()},
    };
    std::set<CFTypeID> ids;
    for (const auto& c : cases) {
        EXPECT_EQ(CFGetTypeID(c.value), c.id) << c.desc;
        EXPECT_NE(c.id, 0u) << c.desc;
        ids.insert(c.id);
    }
    EXPECT_EQ(ids.size(), std::size(cases));

    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    CFRelease(kCFBooleanTrue);  // the booleans are never freed
    CFRelease(kCFBooleanTrue);
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_EQ(CFGetTypeID(kCFBooleanFalse), CFBooleanGetTypeID());
}

TEST(CFEqual, ComparesByValueAndDeeply) {
    auto pair = [](Ref a, Ref b) { return std::make_pair(std::move(a), std::move(b)); };
    auto list = [](std::vector<Ref> items) {
        Ref a(typeArray());
        for (auto& item : items) CFArrayAppendValue(array(a), item.get());
        return a;
    };
    std::vector<Ref> left;
    left.push_back(makeNumber<int8_t>(kCFNumberSInt8Type, 1));
    left.push_back(MakeString("x"));
    std::vector<Ref> right;
    right.push_back(makeNumber<double>(kCFNumberFloat64Type, 1.0));
    right.push_back(MakeString("x"));
    std::vector<Ref> other;
    other.push_back(makeNumber<double>(kCFNumberFloat64Type, 1.0));
    other.push_back(MakeString("y"));

    struct Case {
        const char* desc;
        std::pair<Ref, Ref> values;
        bool equal;
    };
    Case cases[] = {
        {"SInt8 5 and Float64 5.0", pair(makeNumber<int8_t>(1, 5), makeNumber<double>(6, 5.0)), true},
        {"SInt64 5 and Float64 5.5", pair(makeNumber<int64_t>(4, 5), makeNumber<double>(6, 5.5)), false},
        {"SInt64 max and 2^63 as a real", pair(makeNumber<int64_t>(4, INT64_MAX), makeNumber<double>(6, 0x1p63)),
         false},
        {"strings by content", pair(MakeString("caf\u00e9"), MakeString("caf\u00e9")), true},
        {"strings differing in case", pair(MakeString("Cafe"), MakeString("cafe")), false},
        {"data by bytes", pair(makeData(std::string_view("\0a", 2)), makeData(std::string_view("\0a", 2))), true},
        {"data of other bytes", pair(makeData("ab"), makeData("ac")), false},
        {"number and boolean", pair(makeNumber<int32_t>(3, 1), Ref(CFRetain(kCFBooleanTrue))), false},
        {"arrays element by element", pair(list(std::move(left)), list(std::move(right))), true},
        {"arrays differing deep down", pair(list({}), list(std::move(other))), false},
    };
    for (auto& c : cases) {
        EXPECT_EQ(CFEqual(c.values.first.get(), c.values.second.get()), c.equal) << c.desc;
        EXPECT_EQ(CFEqual(c.values.second.get(), c.values.first.get()), c.equal) << c.desc;
    }

    // Dictionaries: a nested change is seen.
    Ref a = buildSample();
    Ref b = buildSample();
    EXPECT_TRUE(CFEqual(a.get(), b.get()));
    auto nested = static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(dict(b), CFSTR("list"))));
    CFArrayAppendValue(nested, kCFBooleanFalse);
    EXPECT_FALSE(CFEqual(a.get(), b.get()));
}

TEST(CFNullArguments, GiveNeutralResultsWithoutCrashing) {
    CFRelease(nullptr);
    const struct {
        const char* desc;
        std::function<bool()> neutral;
    } cases[] = {
        {"CFRetain", [] { return CFRetain(nullptr) == nullptr; }},
        {"CFGetRetainCount", [] { return CFGetRetainCount(nullptr) == 0; }},
        {"CFGetTypeID", [] { return CFGetTypeID(nullptr) == 0; }},
        {"CFEqual", [] { return !CFEqual(nullptr, nullptr); }},
        {"__CFStringMakeConstantString", [] { return __CFStringMakeConstantString(nullptr) == nullptr; }},
        {"CFStringCreateWithCString",
         [] { return CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8) == nullptr; }},
        {"CFStringGetLength", [] { return CFStringGetLength(nullptr) == 0; }},
        {"CFStringGetCString",
         [] {
             char b[8];
             return !CFStringGetCString(nullptr, b, 8, kCFStringEncodingUTF8);
         }},
        {"CFStringGetCString buffer",
         [] { return !CFStringGetCString(CFSTR("a"), nullptr, 8, kCFStringEncodingUTF8); }},
        {"CFDictionaryAddValue",
         [] {
             CFDictionaryAddValue(nullptr, CFSTR("k"), CFSTR("v"));
             return true;
         }},
        {"CFDictionarySetValue",
         [] {
             CFDictionarySetValue(nullptr, CFSTR("k"), CFSTR("v"));
             return true;
         }},
        {"CFDictionaryRemoveValue",
         [] {
             CFDictionaryRemoveValue(nullptr, CFSTR("k"));
             return true;
         }},
        {"CFDictionaryGetValue", [] { return CFDictionaryGetValue(nullptr, CFSTR("k")) == nullptr; }},
        {"CFDictionaryGetCount", [] { return CFDictionaryGetCount(nullptr) == 0; }},
        {"CFDictionaryGetKeysAndValues",
         [] {
             CFDictionaryGetKeysAndValues(nullptr, nullptr, nullptr);
             return true;
         }},
        {"null key and value are not stored",
         [] {
             Ref d(typeDictionary());
             CFDictionarySetValue(dict(d), nullptr, CFSTR("v"));
             CFDictionarySetValue(dict(d), CFSTR("k"), nullptr);
             return CFDictionaryGetCount(dict(d)) == 0 && CFDictionaryGetValue(dict(d), nullptr) == nullptr;
         }},
        {"CFArrayAppendValue",
         [] {
             CFArrayAppendValue(nullptr, CFSTR("v"));
             return true;
         }},
        {"CFArrayGetCount", [] { return CFArrayGetCount(nullptr) == 0; }},
        {"CFArrayGetValueAtIndex", [] { return CFArrayGetValueAtIndex(nullptr, 0) == nullptr; }},
        {"CFArrayGetValueAtIndex out of range",
         [] {
             Ref a(typeArray());
             CFArrayAppendValue(array(a), CFSTR("v"));
             return CFArrayGetValueAtIndex(array(a), 1) == nullptr && CFArrayGetValueAtIndex(array(a), -1) == nullptr;
         }},
        {"CFNumberCreate", [] { return CFNumberCreate(nullptr, kCFNumberSInt32Type, nullptr) == nullptr; }},
        {"CFNumberGetValue",
         [] {
             int32_t v;
             return !CFNumberGetValue(nullptr, kCFNumberSInt32Type, &v);
         }},
        {"CFNumberGetType", [] { return CFNumberGetType(nullptr) == 0; }},
        {"CFBooleanGetValue", [] { return !CFBooleanGetValue(nullptr); }},
        {"CFDataCreate with length", [] { return CFDataCreate(nullptr, nullptr, 4) == nullptr; }},
        {"CFDataGetBytePtr", [] { return CFDataGetBytePtr(nullptr) == nullptr; }},
        {"CFDataGetLength", [] { return CFDataGetLength(nullptr) == 0; }},
        {"CFPropertyListCreateXMLData", [] { return CFPropertyListCreateXMLData(nullptr, nullptr) == nullptr; }},
        {"CFPropertyListCreateData",
         [] { return CFPropertyListCreateData(nullptr, nullptr, 200, 0, nullptr) == nullptr; }},
        {"CFPropertyListCreateFromXMLData",
         [] { return CFPropertyListCreateFromXMLData(nullptr, nullptr, 1, nullptr) == nullptr; }},
        {"CFPropertyListCreateWithData",
         [] { return CFPropertyListCreateWithData(nullptr, nullptr, 1, nullptr, nullptr) == nullptr; }},
        {"wrong kind of value", [] { return CFStringGetLength(reinterpret_cast<CFStringRef>(kCFBooleanTrue)) == 0; }},
    };
    for (const auto& c : cases) EXPECT_TRUE(c.neutral()) << c.desc;
}

// ---- Writing property lists ----

TEST(CFPropertyListWrite, XmlIsReadBackByPlistlib) {
    Ref sample = buildSample();
    Ref xml(CFPropertyListCreateXMLData(nullptr, sample.get()));
    ASSERT_NE(xml, nullptr);
    std::string text = bytesOf(data(xml));
    EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << text;
    EXPECT_NE(text.find("<plist version=\"1.0\">"), std::string::npos) << text;
    EXPECT_NE(text.find("<integer>-5</integer>"), std::string::npos) << text;
    EXPECT_EQ(plistlibDump(text), "xml " + kSampleDump);

    Ref viaCreateData = write(sample.get(), kCFPropertyListXMLFormat_v1_0);
    ASSERT_NE(viaCreateData, nullptr);
    EXPECT_EQ(bytesOf(data(viaCreateData)), text);
}

TEST(CFPropertyListWrite, BinaryIsReadBackByPlistlib) {
    Ref bin = write(buildSample().get(), kCFPropertyListBinaryFormat_v1_0);
    ASSERT_NE(bin, nullptr);
    std::string bytes = bytesOf(data(bin));
    EXPECT_TRUE(bytes.starts_with("bplist00"));
    EXPECT_EQ(plistlibDump(bytes), "binary " + kSampleDump);
}

TEST(CFPropertyListWrite, RefusesWhatIsNotAPropertyList) {
    Ref numberKey(typeDictionary());
    CFDictionarySetValue(dict(numberKey), makeNumber<int32_t>(kCFNumberSInt32Type, 1).get(), CFSTR("v"));

    // A non-retaining array that holds itself: no leak, and no end to its depth.
    Ref selfHolding(CFArrayCreateMutable(nullptr, 5, nullptr));
    CFArrayAppendValue(array(selfHolding), selfHolding.get());

    auto nested = [](size_t depth) {
        Ref root(typeArray());
        CFMutableArrayRef at = array(root);
        for (size_t i = 1; i < depth; ++i) {
            Ref inner(typeArray());
            CFArrayAppendValue(at, inner.get());
            at = static_cast<CFMutableArrayRef>(const_cast<void*>(inner.get()));
        }
        return root;
    };
    Ref deepest = nested(512);
    Ref tooDeep = nested(513);
    Ref farFuture(CFDateCreate(nullptr, 1e12));  // beyond the 32-bit seconds libplist holds
    alignas(16) static const char plainText[32] = "plain C text";

    const struct {
        const char* desc;
        CFTypeRef value;
        bool written;
    } cases[] = {
        {"dictionary with a number key", numberKey.get(), false},
        {"array that holds itself", selfHolding.get(), false},
        {"512 nested arrays", deepest.get(), true},
        {"513 nested arrays", tooDeep.get(), false},
        {"date beyond 2069", farFuture.get(), false},
        {"a bare string", CFSTR("alone"), true},
        {"not a value of ours", plainText, false},
    };
    for (const auto& c : cases) {
        for (CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
            Ref out = write(c.value, format);
            EXPECT_EQ(out != nullptr, c.written) << c.desc << ", format " << format;
        }
    }
    EXPECT_EQ(write(CFSTR("alone"), kCFPropertyListOpenStepFormat), nullptr) << "OpenStep is not written";
}

// ---- Reading property lists ----

TEST(CFPropertyListRead, MalformedOrHostileInputGivesNull) {
    const std::string valid = bytesOf(data(Ref(CFPropertyListCreateXMLData(nullptr, buildSample().get()))));
    const std::string validBinary = bytesOf(data(write(buildSample().get(), kCFPropertyListBinaryFormat_v1_0)));
    std::string garbage(4096, '\0');
    uint32_t seed = 12345;
    for (char& ch : garbage) {
        seed = seed * 1103515245u + 12345u;
        ch = static_cast<char>(seed >> 24);
    }
    BinaryPlistBuilder cycle;
    cycle.array({1});
    cycle.array({0});
    BinaryPlistBuilder doubling;  // 64 arrays each naming the next twice: 2^64 nodes once expanded
    for (uint64_t i = 0; i < 64; ++i) doubling.array({i + 1, i + 1});
    doubling.boolean(true);
    BinaryPlistBuilder shifted;
    shifted.array({1});
    shifted.boolean(true);
    std::string oversized = "<plist version=\"1.0\"><string>" + std::string((64u << 20) + 1, 'a') + "</string></plist>";

    const struct {
        const char* desc;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"truncated XML", valid.substr(0, valid.size() / 2)},
        {"not XML", "this is not a property list"},
        {"wrong root element", "<?xml version=\"1.0\"?><html><body/></html>"},
        {"unknown element", "<plist version=\"1.0\"><ringtone/></plist>"},
        {"empty plist element", "<plist version=\"1.0\"></plist>"},
        {"unclosed dictionary", "<plist version=\"1.0\"><dict><key>a</key><true/>"},
        {"mismatched end tag", "<plist version=\"1.0\"><array><true/></dict></plist>"},
        {"unterminated comment", "<plist version=\"1.0\"><!-- <array>"},
        {"string that is not UTF-8", "<plist version=\"1.0\"><string>caf\xe9</string></plist>"},
        {"100000 nested arrays", nestedXml(100000, "<array>", "</array>")},
        {"100000 nested dictionaries", nestedXml(100000, "<dict><key>k</key>", "</dict>")},
        // Deep enough to overflow libplist's recursive reader were it let through.
        {"1000000 nested arrays", nestedXml(1000000, "<array>", "</array>")},
        {"1000000 nested arrays, end tags hidden in comments",
         nestedXml(1000000, "<array><!--</array>-->", "</array>")},
        {"binary garbage", garbage},
        {"binary magic then garbage", "bplist00" + garbage},
        {"truncated binary", validBinary.substr(0, validBinary.size() - 10)},
        {"binary offsets beyond the table", shifted.build(0, 1000)},
        {"binary root out of range", shifted.build(7)},
        {"binary nesting 100000 deep", BinaryPlistBuilder::chain(100000)},
        {"binary reference cycle", cycle.build(0)},
        {"binary references doubling at each level", doubling.build(0)},
        {"larger than 64 MiB", oversized},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.bytes), nullptr) << c.desc;
}

TEST(CFPropertyListRead, NestingLimitIs512ContainersInBothFormats) {
    const struct {
        const char* desc;
        std::string bytes;
        bool accepted;
    } cases[] = {
        {"XML 512 arrays", nestedXml(512, "<array>", "</array>"), true},
        {"XML 513 arrays", nestedXml(513, "<array>", "</array>"), false},
        {"XML 512 dictionaries", nestedXml(512, "<dict><key>k</key>", "</dict>"), true},
        {"XML 513 dictionaries", nestedXml(513, "<dict><key>k</key>", "</dict>"), false},
        {"binary 512 arrays", BinaryPlistBuilder::chain(512), true},
        {"binary 513 arrays", BinaryPlistBuilder::chain(513), false},
    };
    for (const auto& c : cases) {
        CFPropertyListFormat format = 0;
        Ref value = read(c.bytes, &format);
        EXPECT_EQ(value != nullptr, c.accepted) << c.desc;
        if (!value) continue;
        size_t depth = 0;
        for (CFTypeRef at = value.get(); at != nullptr; ++depth) {
            at = CFGetTypeID(at) == CFArrayGetTypeID()
                     ? CFArrayGetValueAtIndex(static_cast<CFArrayRef>(at), 0)
                     : CFDictionaryGetValue(static_cast<CFDictionaryRef>(at), CFSTR("k"));
        }
        EXPECT_EQ(depth, 512u) << c.desc;
        EXPECT_EQ(format,
                  c.bytes.starts_with("bplist") ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0);
    }
}

TEST(CFPropertyListRead, XmlRoundTripKeepsUnicodeAndNegativeNumbers) {
    const std::string input =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "  <key>Name</key><string>M\u00e9lodie \u266b \u65e5\u672c \U0001F3B5 &lt;1&gt;</string>\n"
        "  <!-- a comment is not a value -->\n"
        "  <key>Delta</key><integer>-5</integer>\n"
        "  <key>Lowest</key><integer>-9223372036854775808</integer>\n"
        "  <key>\u30ad\u30fc</key><array><true/><real>1.5</real><data>AAH/</data><dict/></array>\n"
        "</dict>\n</plist>\n";
    CFPropertyListFormat format = 0;
    Ref root = read(input, &format);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
    ASSERT_EQ(CFGetTypeID(root.get()), CFDictionaryGetTypeID());

    CFTypeRef name = CFDictionaryGetValue(dict(root), CFSTR("Name"));
    EXPECT_EQ(textOf(name), "M\u00e9lodie \u266b \u65e5\u672c \U0001F3B5 <1>");
    EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(name)), 19) << "U+1F3B5 counts as two units";
    int32_t delta = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(dict(root), CFSTR("Delta"))),
                                 kCFNumberSInt32Type, &delta));
    EXPECT_EQ(delta, -5);
    EXPECT_EQ(int64Of(CFDictionaryGetValue(dict(root), CFSTR("Lowest"))), INT64_MIN);
    auto list = static_cast<CFArrayRef>(CFDictionaryGetValue(dict(root), CFSTR("\u30ad\u30fc")));
    ASSERT_EQ(CFArrayGetCount(list), 4);
    EXPECT_EQ(CFArrayGetValueAtIndex(list, 0), kCFBooleanTrue);
    EXPECT_EQ(bytesOf(static_cast<CFDataRef>(CFArrayGetValueAtIndex(list, 2))), std::string("\x00\x01\xff", 3));

    // The containers are mutable and retain what is put in them.
    Ref added = MakeString("added");
    CFDictionarySetValue(dict(root), CFSTR("Added"), added.get());
    EXPECT_EQ(CFGetRetainCount(added.get()), 2);

    Ref xml(CFPropertyListCreateXMLData(nullptr, root.get()));
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(plistlibDump(bytesOf(data(xml))),
              "xml [\"dict\",[[\"Name\",[\"str\",\"M\u00e9lodie \u266b \u65e5\u672c \U0001F3B5 <1>\"]],"
              "[\"Delta\",[\"int\",-5]],[\"Lowest\",[\"int\",-9223372036854775808]],"
              "[\"\u30ad\u30fc\",[\"array\",[[\"bool\",true],[\"real\",1.5],[\"data\",\"0001ff\"],[\"dict\",[]]]]],"
              "[\"Added\",[\"str\",\"added\"]]]]");
    Ref again = read(bytesOf(data(xml)));
    EXPECT_TRUE(CFEqual(again.get(), root.get()));
}

// Long arrays come back whole and in order from both formats. libplist keeps no index for the
// arrays it reads from binary, so fetching their items by position would make this length
// squared: 200000 entries would take minutes instead of a moment.
TEST(CFPropertyListRead, LongArraysReadWholeAndInOrder) {
    constexpr int64_t kCount = 200000;
    Ref list(typeArray());
    for (int64_t i = 0; i < kCount; ++i) {
        Ref number(CFNumberCreate(nullptr, kCFNumberSInt64Type, &i));
        CFArrayAppendValue(array(list), number.get());
    }
    for (const CFPropertyListFormat format : {kCFPropertyListBinaryFormat_v1_0, kCFPropertyListXMLFormat_v1_0}) {
        Ref bytes = write(list.get(), format);
        ASSERT_NE(bytes, nullptr) << format;
        Ref back = read(bytesOf(data(bytes)));
        ASSERT_NE(back, nullptr) << format;
        const auto values = static_cast<CFArrayRef>(back.get());
        ASSERT_EQ(CFArrayGetCount(values), kCount) << format;
        int64_t mismatches = 0;
        for (int64_t i = 0; i < kCount; ++i) mismatches += int64Of(CFArrayGetValueAtIndex(values, i)) != i;
        EXPECT_EQ(mismatches, 0) << format;
    }
}

TEST(CFPropertyListRead, ReadsWhatPlistlibWritesInBothFormats) {
    Ref expected = buildSample();
    const struct {
        const char* format;
        CFPropertyListFormat detected;
    } cases[] = {{"xml", kCFPropertyListXMLFormat_v1_0}, {"binary", kCFPropertyListBinaryFormat_v1_0}};
    for (const auto& c : cases) {
        std::string bytes = plistlibSample(c.format);
        ASSERT_FALSE(bytes.empty()) << c.format;
        CFPropertyListFormat format = 0;
        Ref value = read(bytes, &format);
        ASSERT_NE(value, nullptr) << c.format;
        EXPECT_EQ(format, c.detected) << c.format;
        EXPECT_TRUE(CFEqual(value.get(), expected.get())) << c.format;
        CFTypeRef when = CFDictionaryGetValue(dict(value), CFSTR("when"));
        EXPECT_EQ(CFGetTypeID(when), CFDateGetTypeID()) << c.format;
        EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(when)), 0.0) << c.format;
    }
}

}  // namespace
