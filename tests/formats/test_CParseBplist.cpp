// Tests of CParseBplist: hand-made buffers, property lists written by libplist, and hostile input.
#include "CParseBplist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "CodePageSupport.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CJson.h"
#include "TextEncoding.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A tree written compactly: children separated by ",", a leaf as key=value and a node with
// children as key{...}. The root itself is not written.
std::u16string Shape(CJson* node) {
    std::u16string out;
    for (int i = 0; i < node->GetChildCount(); ++i) {
        CJson* child = node->GetChild(i);
        if (i > 0) {
            out += u',';
        }
        out += child->GetKey();
        if (child->GetChildCount() == 0) {
            out += u'=';
            out += child->GetValue();
        } else {
            out += u'{';
            out += Shape(child);
            out += u'}';
        }
    }
    return out;
}

int Depth(CJson* node) {
    int deepest = 0;
    for (int i = 0; i < node->GetChildCount(); ++i) {
        deepest = std::max(deepest, 1 + Depth(node->GetChild(i)));
    }
    return deepest;
}

int CountNodes(CJson* node) {
    int count = 1;
    for (int i = 0; i < node->GetChildCount(); ++i) {
        count += CountNodes(node->GetChild(i));
    }
    return count;
}

// Parses a copy held in a block of exactly the input's size, so that AddressSanitizer reports
// any read past the end.
std::unique_ptr<CJson> ParseBytes(const Bytes& bytes) {
    auto copy = std::make_unique<unsigned char[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    CParseBplist parser;
    return std::unique_ptr<CJson>(parser.Parse(copy.get(), static_cast<int>(bytes.size())));
}

void PutBigEndian(Bytes& out, uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) {
        out.push_back(i >= 8 ? 0 : static_cast<uint8_t>(value >> (8 * i)));
    }
}

// Overwrites size bytes at position with value, big-endian.
void Patch(Bytes& bytes, size_t position, uint64_t value, int size) {
    Bytes field;
    PutBigEndian(field, value, size);
    std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(position));
}

// Trailer fields, as positions from the end of the buffer.
constexpr size_t kOffsetSizeField = 26;
constexpr size_t kRefSizeField = 25;
constexpr size_t kCountField = 24;
constexpr size_t kTopField = 16;
constexpr size_t kTableOffsetField = 8;

void PatchTrailer(Bytes& bytes, size_t field, uint64_t value) {
    const int size = field >= kOffsetSizeField - 1 && field <= kOffsetSizeField ? 1 : 8;
    Patch(bytes, bytes.size() - field, value, size);
}

// Rewrites entry index of the offset table, found through the trailer.
void PatchOffsetEntry(Bytes& bytes, int index, uint64_t value) {
    const size_t end = bytes.size();
    const int offsetSize = bytes[end - kOffsetSizeField];
    size_t table = 0;
    for (size_t i = end - kTableOffsetField; i < end; ++i) {
        table = (table << 8) | bytes[i];
    }
    Patch(bytes, table + static_cast<size_t>(index) * offsetSize, value, offsetSize);
}

// Assembles a bplist00 buffer object by object, with chosen reference and offset widths (an
// offset width of 0: the smallest that holds every offset).
class Bplist {
public:
    explicit Bplist(int refSize = 1, int offsetSize = 0) : m_refSize(refSize), m_offsetSize(offsetSize) {}

    int Raw(Bytes object) {
        m_objects.push_back(std::move(object));
        return static_cast<int>(m_objects.size()) - 1;
    }
    int Ascii(std::string_view text) {
        Bytes object = Header(0x50, text.size());
        object.insert(object.end(), text.begin(), text.end());
        return Raw(std::move(object));
    }
    int Int(uint64_t value) {
        int power = 0;
        while (power < 3 && value >> (8 << power) != 0) {
            ++power;
        }
        Bytes object{static_cast<uint8_t>(0x10 | power)};
        PutBigEndian(object, value, 1 << power);
        return Raw(std::move(object));
    }
    int Array(const std::vector<int>& refs, uint8_t kind = 0xA0) { return Raw(ArrayBytes(refs, kind)); }
    int Dict(const std::vector<std::pair<int, int>>& entries) { return Raw(DictBytes(entries)); }
    // Replaces an object added earlier, for references that point forward (cycles).
    void Replace(int index, Bytes object) { m_objects[static_cast<size_t>(index)] = std::move(object); }

    Bytes ArrayBytes(const std::vector<int>& refs, uint8_t kind = 0xA0) const {
        Bytes object = Header(kind, refs.size());
        for (int ref : refs) {
            PutBigEndian(object, static_cast<uint64_t>(ref), m_refSize);
        }
        return object;
    }
    Bytes DictBytes(const std::vector<std::pair<int, int>>& entries) const {
        Bytes object = Header(0xD0, entries.size());
        for (const auto& entry : entries) {
            PutBigEndian(object, static_cast<uint64_t>(entry.first), m_refSize);
        }
        for (const auto& entry : entries) {
            PutBigEndian(object, static_cast<uint64_t>(entry.second), m_refSize);
        }
        return object;
    }

    Bytes Build(int top) const {
        Bytes out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<uint64_t> offsets;
        for (const Bytes& object : m_objects) {
            offsets.push_back(out.size());
            out.insert(out.end(), object.begin(), object.end());
        }
        const uint64_t tableOffset = out.size();
        int offsetSize = m_offsetSize;
        if (offsetSize == 0) {
            offsetSize = 1;
            while (offsetSize < 8 && tableOffset >> (8 * offsetSize) != 0) {
                ++offsetSize;
            }
        }
        for (uint64_t offset : offsets) {
            PutBigEndian(out, offset, offsetSize);
        }
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<uint8_t>(offsetSize));
        out.push_back(static_cast<uint8_t>(m_refSize));
        PutBigEndian(out, m_objects.size(), 8);
        PutBigEndian(out, static_cast<uint64_t>(top), 8);
        PutBigEndian(out, tableOffset, 8);
        return out;
    }

private:
    static Bytes Header(uint8_t kind, size_t count) {
        if (count < 15) {
            return Bytes{static_cast<uint8_t>(kind | count)};
        }
        Bytes header{static_cast<uint8_t>(kind | 0x0F)};
        const int power = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2;
        header.push_back(static_cast<uint8_t>(0x10 | power));
        PutBigEndian(header, count, 1 << power);
        return header;
    }

    int m_refSize;
    int m_offsetSize;
    std::vector<Bytes> m_objects;
};

// A buffer whose only object is the given one.
Bytes Single(Bytes object) {
    Bplist plist;
    const int top = plist.Raw(std::move(object));
    return plist.Build(top);
}

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

// --- Scalars -------------------------------------------------------------------------------

TEST(CParseBplistScalars, EachMarkerGivesItsText) {
    struct Case {
        const char* desc;
        Bytes object;
        std::u16string shape;
    };
    const Case cases[] = {
        {"false", {0x08}, u"=0"},
        {"true", {0x09}, u"=1"},
        {"null adds nothing", {0x00}, u""},
        {"fill adds nothing", {0x0F}, u""},
        {"undefined 0x0n adds nothing", {0x0C}, u""},
        {"1-byte integer", {0x10, 0xFF}, u"=255"},
        {"integer 0 reads as 0", {0x10, 0x00}, u"=0"},
        {"2-byte integer", {0x11, 0x01, 0x00}, u"=256"},
        {"4-byte integer, all bits set", {0x12, 0xFF, 0xFF, 0xFF, 0xFF}, u"=4294967295"},
        {"8-byte integer keeps its low 32 bits", {0x13, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02}, u"=2"},
        {"negative 8-byte integer keeps its low 32 bits",
         {0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE},
         u"=4294967294"},
        {"16-byte integer keeps its low 32 bits",
         {0x14, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x00, 0x01, 0x00, 0x07},
         u"=65543"},
        {"double 1.5", {0x23, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, u"=1.500000"},
        {"double -0.25", {0x23, 0xBF, 0xD0, 0, 0, 0, 0, 0, 0}, u"=-0.250000"},
        {"float 1.5", {0x22, 0x3F, 0xC0, 0x00, 0x00}, u"=1.500000"},
        {"2-byte real is not read", {0x21, 0x3C, 0x00}, u""},
        {"date: seconds since 2001 as a real", {0x33, 0x40, 0xF5, 0x18, 0x08, 0, 0, 0, 0}, u"=86400.500000"},
        {"0x3n other than a date is data of n bytes", {0x32, 'a', 'b'}, u"=ab"},
        {"ASCII string", {0x53, 'a', 'b', 'c'}, u"=abc"},
        {"empty ASCII string", {0x50}, u"="},
        {"data stops at the first zero byte", {0x45, 'a', 'b', 0x00, 'c', 'd'}, u"=ab"},
        {"UTF-16 string", {0x62, 0x4F, 0x60, 0x59, 0x7D}, u"=\u4F60\u597D"},
        {"UTF-16 units stand as they are",
         {0x62, 0xDE, 0x00, 0x00, 0x41},
         u"=\xDE00"
         u"A"},
        {"extended count, 1-byte integer",
         {0x5F, 0x10, 0x14, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i',
          'j',  'k',  'l',  'm', 'n', 'o', 'p', 'q', 'r', 's', 't'},
         u"=abcdefghijklmnopqrst"},
        {"extended count, 2-byte integer",
         {0x5F, 0x11, 0x00, 0x10, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'},
         u"=abcdefghijklmnop"},
        {"count 15 without an integer marker after it",
         {0x5F, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o'},
         u"=abcdefghijklmno"},
        {"UTF-16 string with extended count",
         {0x6F, 0x10, 0x0F, 0,   'a', 0,   'b', 0,   'c', 0,   'd', 0,   'e', 0,   'f', 0,  'g',
          0,    'h',  0,    'i', 0,   'j', 0,   'k', 0,   'l', 0,   'm', 0,   'n', 0,   'o'},
         u"=abcdefghijklmno"},
        {"UID adds nothing", {0x80, 0x01}, u""},
        {"0x7n adds nothing", {0x70}, u""},
        {"0x9n adds nothing", {0x91, 0x00}, u""},
        {"0xBn adds nothing", {0xB0}, u""},
        {"0xEn adds nothing", {0xE0}, u""},
        {"0xFn adds nothing", {0xF0}, u""},
    };
    for (const Case& c : cases) {
        auto root = ParseBytes(Single(c.object));
        ASSERT_NE(root, nullptr) << c.desc;
        EXPECT_EQ(Shape(root.get()), c.shape) << c.desc;
    }
}

// Data and ASCII strings are read in the ANSI code page, not as UTF-8.
TEST(CParseBplistScalars, DataIsReadInTheAnsiCodePage) {
    struct CodePage {
        CodePage() { SetAnsiCodePage("CP936"); }
        ~CodePage() { SetAnsiCodePage(""); }
    } codePage;
    auto data = ParseBytes(Single({0x44, 0xC4, 0xE3, 0xBA, 0xC3}));
    EXPECT_EQ(Shape(data.get()), u"=\u4F60\u597D");
    auto ascii = ParseBytes(Single({0x54, 0xC4, 0xE3, 0xBA, 0xC3}));
    EXPECT_EQ(Shape(ascii.get()), u"=\u4F60\u597D");
}

// --- Containers ----------------------------------------------------------------------------

TEST(CParseBplistContainers, ShapesOfArraysAndDictionaries) {
    struct Case {
        const char* desc;
        Bytes bytes;
        std::u16string shape;
    };
    std::vector<Case> cases;
    {
        Bplist p;
        const int x = p.Ascii("x"), five = p.Int(5);
        const int a = p.Ascii("A"), b = p.Ascii("B"), c = p.Ascii("C"), d = p.Ascii("D");
        const int inner = p.Dict({{c, x}, {d, five}});
        const int middle = p.Dict({{b, inner}});
        cases.push_back({"nested dictionaries", p.Build(p.Dict({{a, middle}})), u"A{B{C=x,D=5}}"});
    }
    {
        Bplist p;
        cases.push_back({"top-level array", p.Build(p.Array({p.Int(1), p.Int(2)})), u"=1,=2"});
    }
    {
        Bplist p;
        cases.push_back({"set reads as array", p.Build(p.Array({p.Int(1), p.Int(2)}, 0xC0)), u"=1,=2"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), arr = p.Array({p.Int(1), p.Int(2)});
        cases.push_back({"array of scalars under a key", p.Build(p.Dict({{k, arr}})), u"k{=1,=2}"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), arr = p.Array({p.Ascii("x")});
        cases.push_back({"array of one scalar under a key", p.Build(p.Dict({{k, arr}})), u"k=x"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), v = p.Ascii("x");
        cases.push_back({"plain value under a key", p.Build(p.Dict({{k, v}})), u"k=x"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), l = p.Ascii("l"), m = p.Ascii("m");
        const int emptyDict = p.Dict({}), emptyArray = p.Array({}), null = p.Raw({0x00});
        cases.push_back({"empty dictionary, empty array and null under keys",
                         p.Build(p.Dict({{k, emptyDict}, {l, emptyArray}, {m, null}})), u"k=,l=,m="});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), a = p.Ascii("a");
        const int inner = p.Dict({{a, p.Int(1)}});
        cases.push_back({"dictionary of one entry under a key", p.Build(p.Dict({{k, inner}})), u"k{a=1}"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), a = p.Ascii("a");
        const int first = p.Dict({{a, p.Int(1)}}), second = p.Dict({{a, p.Int(2)}});
        cases.push_back({"array of dictionaries: entries side by side",
                         p.Build(p.Dict({{k, p.Array({first, second})}})), u"k{a=1,a=2}"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), a = p.Ascii("a"), b = p.Ascii("b");
        const int inner = p.Dict({{a, p.Int(1)}, {b, p.Array({p.Ascii("x"), p.Ascii("y")})}});
        cases.push_back({"copies keep their own children", p.Build(p.Dict({{k, inner}})), u"k{a=1,b{=x,=y}}"});
    }
    {
        Bplist p;
        const int items = p.Array({p.Raw({0x00}), p.Int(1), p.Raw({0x0F}), p.Raw({0x80, 0x05}), p.Int(2)});
        cases.push_back({"null, fill and UID leave no element", p.Build(items), u"=1,=2"});
    }
    {
        Bplist p;
        const int inner = p.Array({p.Int(1), p.Array({p.Int(2)})});
        cases.push_back({"nested arrays flatten", p.Build(p.Array({inner, p.Int(3)})), u"=1,=2,=3"});
    }
    {
        Bplist p;
        const int seven = p.Int(7), t = p.Raw({0x09});
        cases.push_back({"keys that are not strings give their text",
                         p.Build(p.Dict({{seven, p.Ascii("x")}, {t, p.Ascii("y")}})), u"7=x,1=y"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), shared = p.Ascii("s");
        cases.push_back({"a shared object is read at each reference", p.Build(p.Dict({{k, p.Array({shared, shared})}})),
                         u"k{=s,=s}"});
    }
    {
        Bplist p;
        const int items = p.Array({p.Ascii(std::string(20, 'z')), p.Int(1)});
        cases.push_back({"string with extended count inside an array", p.Build(items), u"=zzzzzzzzzzzzzzzzzzzz,=1"});
    }
    {
        Bplist p;
        std::vector<int> refs;
        for (int i = 0; i < 16; ++i) {
            refs.push_back(p.Int(static_cast<uint64_t>(i)));
        }
        cases.push_back({"array with extended count", p.Build(p.Array(refs)),
                         u"=0,=1,=2,=3,=4,=5,=6,=7,=8,=9,=10,=11,=12,=13,=14,=15"});
    }
    for (const Case& c : cases) {
        auto root = ParseBytes(c.bytes);
        EXPECT_EQ(Shape(root.get()), c.shape) << c.desc;
    }
}

// Offsets and references are read at every width from 1 to 8 bytes.
TEST(CParseBplistContainers, EveryReferenceAndOffsetWidth) {
    for (int refSize = 1; refSize <= 8; ++refSize) {
        for (int offsetSize = 1; offsetSize <= 8; ++offsetSize) {
            Bplist p(refSize, offsetSize);
            const int a = p.Ascii("a"), b = p.Ascii("b");
            const int inner = p.Dict({{b, p.Array({p.Int(1), p.Int(2)})}});
            auto root = ParseBytes(p.Build(p.Dict({{a, inner}})));
            EXPECT_EQ(Shape(root.get()), u"a{b{=1,=2}}") << "refs " << refSize << ", offsets " << offsetSize;
        }
    }
}

TEST(CParseBplistContainers, RootTypesFollowTheirChildren) {
    Bplist dict;
    auto fromDict = ParseBytes(dict.Build(dict.Dict({{dict.Ascii("a"), dict.Int(1)}})));
    EXPECT_EQ(fromDict->GetType(), u"list");
    Bplist array;
    auto fromArray = ParseBytes(array.Build(array.Array({array.Int(1), array.Int(2)})));
    EXPECT_EQ(fromArray->GetType(), u"array");
}

// --- Property lists written by libplist ----------------------------------------------------

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

Bytes ToBinary(plist_t node) {
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &data, &length);
    Bytes bytes(data, data + length);
    plist_to_bin_free(data);
    return bytes;
}

// The catalogue as the phone stores it: ringtone files keyed by name, each with its details.
Bytes RingtoneCatalogue() {
    PlistPtr root(plist_new_dict());
    plist_t ringtones = plist_new_dict();
    plist_t first = plist_new_dict();
    plist_dict_set_item(first, "Name", plist_new_string("Morning Bell"));
    plist_dict_set_item(first, "GUID", plist_new_string("5E4C1B2A9F3D7E01"));
    plist_dict_set_item(first, "PID", plist_new_uint(0x1234567890ABCDEFULL));
    plist_dict_set_item(first, "Total Time", plist_new_uint(30000));
    plist_dict_set_item(first, "Protected Content", plist_new_bool(0));
    plist_dict_set_item(ringtones, "ABCD.m4r", first);
    plist_t second = plist_new_dict();
    plist_dict_set_item(second, "Name", plist_new_string("\xE6\x99\xA8\xE6\x9B\xA6"));  // 晨曦
    plist_dict_set_item(second, "GUID", plist_new_string("0A1B2C3D4E5F6071"));
    plist_dict_set_item(second, "PID", plist_new_uint(4242));
    plist_dict_set_item(second, "Total Time", plist_new_uint(21500));
    plist_dict_set_item(second, "Protected Content", plist_new_bool(1));
    plist_dict_set_item(ringtones, "EFGH.m4r", second);
    plist_dict_set_item(root.get(), "Ringtones", ringtones);
    return ToBinary(root.get());
}

const char16_t kCatalogueShape[] =
    u"Ringtones{"
    u"ABCD.m4r{Name=Morning Bell,GUID=5E4C1B2A9F3D7E01,PID=2427178479,Total Time=30000,Protected Content=0},"
    u"EFGH.m4r{Name=\u6668\u66E6,GUID=0A1B2C3D4E5F6071,PID=4242,Total Time=21500,Protected Content=1}}";

TEST(CParseBplistLibplist, RingtoneCatalogue) {
    auto root = ParseBytes(RingtoneCatalogue());
    EXPECT_EQ(Shape(root.get()), kCatalogueShape);

    CJson* ringtones = root->FindChild(u"Ringtones", u"");
    ASSERT_NE(ringtones, nullptr);
    EXPECT_EQ(ringtones->GetValue(), u"");
    ASSERT_EQ(ringtones->GetChildCount(), 2);
    CJson* first = ringtones->GetChild(0);
    EXPECT_EQ(first->GetKey(), u"ABCD.m4r");
    ASSERT_EQ(first->GetChildCount(), 5);
    EXPECT_EQ(first->FindChild(u"Total Time", u"")->GetType(), u"long");
    EXPECT_EQ(first->GetParent(), ringtones);
}

TEST(CParseBplistLibplist, ValuesUnderAKey) {
    struct Case {
        const char* desc;
        plist_t value;  // handed to the dictionary, which frees it
        std::u16string shape;
    };
    auto array = [](std::vector<plist_t> items) {
        plist_t node = plist_new_array();
        for (plist_t item : items) {
            plist_array_append_item(node, item);
        }
        return node;
    };
    auto dict = [](std::vector<std::pair<const char*, plist_t>> items) {
        plist_t node = plist_new_dict();
        for (auto& item : items) {
            plist_dict_set_item(node, item.first, item.second);
        }
        return node;
    };
    const Case cases[] = {
        {"string", plist_new_string("Bell"), u"v=Bell"},
        {"non-ASCII string", plist_new_string("\xE4\xBD\xA0\xE5\xA5\xBD"), u"v=\u4F60\u597D"},
        {"long string", plist_new_string(std::string(300, 'a').c_str()), u"v=" + Repeat(u'a', 300)},
        {"empty string", plist_new_string(""), u"v="},
        {"integer 255", plist_new_uint(255), u"v=255"},
        {"integer 0", plist_new_uint(0), u"v=0"},
        {"integer above 32 bits", plist_new_uint(0x100000002ULL), u"v=2"},
        {"largest 64-bit integer", plist_new_uint(UINT64_MAX), u"v=4294967295"},
        {"true", plist_new_bool(1), u"v=1"},
        {"false", plist_new_bool(0), u"v=0"},
        {"real 1.5", plist_new_real(1.5), u"v=1.500000"},
        {"real 0.1", plist_new_real(0.1), u"v=0.100000"},
        {"real 1e20", plist_new_real(1e20), u"v=100000000000000000000.000000"},
        {"data", plist_new_data("abc\0def", 7), u"v=abc"},
        {"date", plist_new_date(86400, 500000), u"v=86400.500000"},
        {"UID", plist_new_uid(3), u"v="},
        {"empty dictionary", plist_new_dict(), u"v="},
        {"empty array", plist_new_array(), u"v="},
        {"array of one", array({plist_new_string("x")}), u"v=x"},
        {"array of two", array({plist_new_uint(1), plist_new_uint(2)}), u"v{=1,=2}"},
        {"array of dictionaries", array({dict({{"a", plist_new_uint(1)}}), dict({{"a", plist_new_uint(2)}})}),
         u"v{a=1,a=2}"},
        {"dictionary", dict({{"a", plist_new_uint(1)}, {"b", plist_new_string("x")}}), u"v{a=1,b=x}"},
        {"dictionary of one", dict({{"a", plist_new_uint(1)}}), u"v{a=1}"},
    };
    for (const Case& c : cases) {
        PlistPtr root(plist_new_dict());
        plist_dict_set_item(root.get(), "v", c.value);
        auto tree = ParseBytes(ToBinary(root.get()));
        EXPECT_EQ(Shape(tree.get()), c.shape) << c.desc;
    }
}

// Over 255 objects: libplist writes two-byte references and offsets.
TEST(CParseBplistLibplist, ManyEntries) {
    PlistPtr root(plist_new_dict());
    for (int i = 0; i < 300; ++i) {
        const std::string key = "k" + std::to_string(i);
        plist_dict_set_item(root.get(), key.c_str(), plist_new_uint(static_cast<uint64_t>(i) * 1000));
    }
    auto tree = ParseBytes(ToBinary(root.get()));
    ASSERT_EQ(tree->GetChildCount(), 300);
    EXPECT_EQ(tree->GetChild(0)->GetKey(), u"k0");
    EXPECT_EQ(tree->GetChild(0)->GetValue(), u"0");
    EXPECT_EQ(tree->GetChild(299)->GetKey(), u"k299");
    EXPECT_EQ(tree->GetChild(299)->GetValue(), u"299000");
}

// --- Catalogues written by Python's plistlib ---------------------------------------------------

// The catalogue of count tones that formats/ringtone_catalogue.py writes (empty when python3
// could not run it).
Bytes PlistlibCatalogue(int count) {
    const std::string command = std::string("python3 '") + RUVO_RINGTONE_CATALOGUE_TOOL + "' " + std::to_string(count);
    Bytes bytes;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return bytes;
    }
    unsigned char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    if (pclose(pipe) != 0) {
        bytes.clear();
    }
    return bytes;
}

// What the script writes for tone i, as the parser gives it back: texts as they are, the
// 64-bit "PID" cut to its low 32 bits and booleans as 0 or 1.
struct Tone {
    std::u16string file;
    std::u16string name;
    std::u16string guid;
    std::u16string pid;
    std::u16string totalTime;
    std::u16string protectedContent;
};

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

Tone ExpectedTone(int i) {
    Tone tone;
    std::string file(4, 'A');
    for (int at = 3, rest = i; at >= 0; --at, rest /= 26) {
        file[static_cast<size_t>(at)] = static_cast<char>('A' + rest % 26);
    }
    tone.file = Ascii(file + ".m4r");
    tone.name = Ascii("Tone " + std::to_string(i)) + (i % 3 == 0 ? u" \u266B" : u"");
    char guid[17];
    std::snprintf(guid, sizeof guid, "%016llX", 0x5E4C1B2A00000000ULL + static_cast<unsigned long long>(i));
    tone.guid = Ascii(guid);
    tone.pid = Ascii(std::to_string((0x1234567800000000ULL + static_cast<uint64_t>(i) * 7919) & 0xFFFFFFFFULL));
    tone.totalTime = Ascii(std::to_string(20000 + i % 10000));
    tone.protectedContent = i % 5 == 0 ? u"1" : u"0";
    return tone;
}

// Catalogues as large as a phone may hold come through whole: every tone is there under its
// file name with its five members.
TEST(CParseBplistPlistlib, LargeCataloguesArriveWhole) {
    for (const int count : {1000, 10000, 12000, 30000, 100000}) {
        const Bytes bytes = PlistlibCatalogue(count);
        ASSERT_FALSE(bytes.empty()) << "python3 did not write the catalogue of " << count;
        auto root = ParseBytes(bytes);
        ASSERT_EQ(root->GetChildCount(), 1) << count;
        CJson* ringtones = root->FindChild(u"Ringtones", u"");
        ASSERT_NE(ringtones, nullptr) << count;
        ASSERT_EQ(ringtones->GetChildCount(), count) << count;

        // plistlib writes the keys sorted, which is the order of i.
        int misplaced = 0;
        for (int i = 0; i < count; ++i) {
            CJson* tone = ringtones->GetChild(i);
            if (tone->GetKey() != ExpectedTone(i).file || tone->GetChildCount() != 5) {
                ++misplaced;
            }
        }
        EXPECT_EQ(misplaced, 0) << count;

        for (const int i : {0, 1, 2, count / 2, count - 2, count - 1}) {
            const Tone expected = ExpectedTone(i);
            CJson* tone = ringtones->FindChild(expected.file, u"");
            ASSERT_NE(tone, nullptr) << count << " tone " << i;
            EXPECT_EQ(Shape(tone), u"GUID=" + expected.guid + u",Name=" + expected.name + u",PID=" + expected.pid +
                                       u",Protected Content=" + expected.protectedContent + u",Total Time=" +
                                       expected.totalTime)
                << count << " tone " << i;
        }
    }
}

// --- Hostile input ---------------------------------------------------------------------------

TEST(CParseBplistHostile, NullAndShortBuffersGiveAnEmptyTree) {
    CParseBplist parser;
    std::unique_ptr<CJson> none(parser.Parse(nullptr, 0));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->GetChildCount(), 0);
    std::unique_ptr<CJson> negative(parser.Parse(nullptr, -5));
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(negative->GetChildCount(), 0);

    Bytes valid = Single({0x09});
    Bytes shorter(valid.end() - 31, valid.end());
    auto tree = ParseBytes(shorter);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->GetChildCount(), 0);
}

// Each case starts from a small valid list and breaks one thing; the result must be what the
// rest of the list still says.
TEST(CParseBplistHostile, BrokenTrailersAndObjects) {
    // [1, "x"] at index 3; objects 0..2 are 1, "x" and a spare string.
    auto base = [] {
        Bplist p;
        const int one = p.Int(1), x = p.Ascii("x");
        p.Ascii("spare");
        return p.Build(p.Array({one, x}));
    };
    struct Case {
        const char* desc;
        Bytes bytes;
        std::u16string shape;
    };
    std::vector<Case> cases;
    auto patched = [&](const char* desc, size_t field, uint64_t value, std::u16string shape) {
        Bytes bytes = base();
        PatchTrailer(bytes, field, value);
        cases.push_back({desc, std::move(bytes), std::move(shape)});
    };
    cases.push_back({"unbroken", base(), u"=1,=x"});
    patched("offset size 0", kOffsetSizeField, 0, u"");
    patched("offset size 9", kOffsetSizeField, 9, u"");
    patched("reference size 0", kRefSizeField, 0, u"");
    patched("reference size 200", kRefSizeField, 200, u"");
    patched("object count 0", kCountField, 0, u"");
    patched("object count 2^32-1", kCountField, 0xFFFFFFFFULL, u"");
    patched("object count one past the table", kCountField, 5, u"");
    patched("object count keeps its low 32 bits", kCountField, 0xAB00000004ULL, u"=1,=x");
    patched("top object equal to the count", kTopField, 4, u"");
    patched("top object 2^32-1", kTopField, 0xFFFFFFFFULL, u"");
    patched("top object keeps its low 32 bits", kTopField, 0x0100000001ULL, u"=x");
    patched("offset table beyond the buffer", kTableOffsetField, 0xFFFFFFF0ULL, u"");
    patched("offset table reaching into the trailer", kTableOffsetField, base().size() - 32 - 3, u"");
    {
        Bytes bytes = base();
        PatchOffsetEntry(bytes, 1, bytes.size());
        cases.push_back({"object offset equal to the length", std::move(bytes), u"=1"});
    }
    {
        Bytes bytes = base();
        PatchOffsetEntry(bytes, 0, 0xFF);
        cases.push_back({"object offset far beyond the buffer", std::move(bytes), u"=x"});
    }
    {
        Bplist p(1, 4);
        const int one = p.Int(1), x = p.Ascii("x");
        Bytes bytes = p.Build(p.Array({one, x}));
        PatchOffsetEntry(bytes, 0, 0xFFFFFFF0ULL);
        cases.push_back({"object offset negative in 32 bits", std::move(bytes), u"=x"});
    }
    {
        Bplist p;
        const int one = p.Int(1);
        cases.push_back({"reference beyond the count", p.Build(p.Array({one, 99, one})), u"=1,=1"});
    }
    {
        Bplist p;
        const int k = p.Ascii("k"), v = p.Ascii("v");
        cases.push_back({"dictionary value reference beyond the count", p.Build(p.Dict({{k, 99}, {k, v}})), u"k=,k=v"});
    }
    {
        Bplist p;
        const int v = p.Ascii("v");
        cases.push_back({"dictionary key reference beyond the count", p.Build(p.Dict({{99, v}})), u"=v"});
    }
    {
        Bplist p(8, 1);
        p.Int(1);
        Bytes array{0xA2};
        PutBigEndian(array, 0xFFFFFFFF00000000ULL, 8);  // low 32 bits: reference 0
        PutBigEndian(array, 0x00000001FFFFFFFFULL, 8);  // low 32 bits: beyond the count
        cases.push_back({"8-byte references keep their low 32 bits", p.Build(p.Raw(array)), u"=1"});
    }
    auto single = [&](const char* desc, Bytes object) {
        Bplist p;
        const int one = p.Int(1), broken = p.Raw(std::move(object));
        cases.push_back({desc, p.Build(p.Array({one, broken})), u"=1"});
    };
    single("integer of 2^15 bytes", {0x1F, 0x00});
    single("array of 2^32-1 elements", {0xAF, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    single("dictionary of 2^31 entries", {0xDF, 0x12, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00});
    single("ASCII string of 2^31 bytes", {0x5F, 0x12, 0x80, 0x00, 0x00, 0x00, 'a'});
    single("UTF-16 string whose byte size wraps 32 bits", {0x6F, 0x12, 0x80, 0x00, 0x00, 0x01, 0, 'a'});
    single("extended count of 2^15 bytes", {0x5F, 0x1F, 0x00});
    {
        Bplist p(8);
        const int one = p.Int(1);
        Bytes array{0xAF, 0x12, 0x20, 0x00, 0x00, 0x01};
        PutBigEndian(array, 0, 8);
        cases.push_back({"array whose reference bytes wrap 32 bits", p.Build(p.Array({one, p.Raw(array)})), u"=1"});
    }
    for (Case& c : cases) {
        auto root = ParseBytes(c.bytes);
        ASSERT_NE(root, nullptr) << c.desc;
        EXPECT_EQ(Shape(root.get()), c.shape) << c.desc;
    }
}

// A payload that ends on the buffer's last byte is read; one that needs a byte more is not.
TEST(CParseBplistHostile, PayloadUpToTheLastByte) {
    // The last two bytes of a buffer belong to the trailer's offset-table field, so with the
    // table at 0x1010 both read as 0x10, the marker of a 1-byte integer. Object 0 starts on the
    // second-last byte (the integer 16), object 1 on the last one (no byte left for its value).
    // The top object is the array [0, 1].
    constexpr size_t kTable = 0x1010;
    Bytes bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xA2, 0x00, 0x01};
    bytes.resize(kTable, 0);
    const size_t length = kTable + 3 * 2 + 32;
    PutBigEndian(bytes, length - 2, 2);
    PutBigEndian(bytes, length - 1, 2);
    PutBigEndian(bytes, 8, 2);
    bytes.insert(bytes.end(), 6, 0);
    bytes.push_back(2);
    bytes.push_back(1);
    PutBigEndian(bytes, 3, 8);
    PutBigEndian(bytes, 2, 8);
    PutBigEndian(bytes, kTable, 8);
    ASSERT_EQ(bytes.size(), length);
    EXPECT_EQ(Shape(ParseBytes(bytes).get()), u"=16");
}

TEST(CParseBplistHostile, Cycles) {
    struct Case {
        const char* desc;
        Bytes bytes;
        std::u16string shape;
    };
    std::vector<Case> cases;
    {
        Bplist p;
        const int self = p.Raw({});
        const int x = p.Ascii("x");
        p.Replace(self, p.ArrayBytes({self, x, self}));
        cases.push_back({"array holding itself", p.Build(self), u"=x"});
    }
    {
        Bplist p;
        const int dict = p.Raw({});
        const int k = p.Ascii("k"), y = p.Ascii("y");
        const int array = p.Array({dict, y});
        p.Replace(dict, p.DictBytes({{k, array}}));
        cases.push_back({"dictionary and array holding each other", p.Build(dict), u"k=y"});
    }
    {
        Bplist p;
        const int dict = p.Raw({});
        const int k = p.Ascii("k");
        p.Replace(dict, p.DictBytes({{k, dict}, {dict, k}}));
        cases.push_back({"dictionary as its own value and key", p.Build(dict), u"k=,=k"});
    }
    {
        Bplist p;
        const int a = p.Raw({}), b = p.Raw({}), c = p.Raw({});
        const int z = p.Ascii("z");
        p.Replace(a, p.ArrayBytes({b}));
        p.Replace(b, p.ArrayBytes({c, z}));
        p.Replace(c, p.ArrayBytes({a, z}));
        cases.push_back({"cycle of three arrays", p.Build(a), u"=z,=z"});
    }
    for (const Case& c : cases) {
        auto root = ParseBytes(c.bytes);
        EXPECT_EQ(Shape(root.get()), c.shape) << c.desc;
    }
}

// A chain of nested containers, each holding the next; the last holds the string "leaf".
Bytes NestedChain(int levels, bool dictionaries) {
    Bplist p(4, 4);
    const int key = p.Ascii("k");
    const int leaf = p.Ascii("leaf");
    const int first = key + 2;
    for (int i = 0; i < levels; ++i) {
        const int next = i + 1 < levels ? first + i + 1 : leaf;
        if (dictionaries) {
            p.Dict({{key, next}});
        } else {
            p.Array({next});
        }
    }
    return p.Build(first);
}

TEST(CParseBplistHostile, DeepNesting) {
    SKIP_DEEP_TREES_UNDER_TSAN();
    // Nesting of a few hundred levels is still read whole.
    EXPECT_EQ(Shape(ParseBytes(NestedChain(300, false)).get()), u"=leaf");
    auto dicts = ParseBytes(NestedChain(300, true));
    EXPECT_EQ(Depth(dicts.get()), 300);

    // 100000 levels are cut off instead of exhausting the stack.
    EXPECT_EQ(Shape(ParseBytes(NestedChain(100000, false)).get()), u"");
    auto deepDicts = ParseBytes(NestedChain(100000, true));
    EXPECT_GT(Depth(deepDicts.get()), 300);
    EXPECT_LE(Depth(deepDicts.get()), 512);
    EXPECT_EQ(deepDicts->FindNode(u"", u"leaf"), nullptr);
}

// Shared objects could describe an exponentially large tree in a few hundred bytes; the parse
// stops once it has built a bounded amount.
TEST(CParseBplistHostile, SharedObjectsCannotExplode) {
    {
        // 16 levels of arrays, each referring to the next one 15 times: 15^16 leaves.
        Bplist p;
        int next = p.Ascii("x");
        for (int level = 0; level < 16; ++level) {
            next = p.Array(std::vector<int>(15, next));
        }
        auto root = ParseBytes(p.Build(next));
        EXPECT_GT(root->GetChildCount(), 0);
        EXPECT_LE(CountNodes(root.get()), 1 << 18);
    }
    {
        // Dictionaries copy what their values yield at every level.
        Bplist p;
        const int a = p.Ascii("a"), b = p.Ascii("b");
        int next = p.Ascii("x");
        for (int level = 0; level < 40; ++level) {
            next = p.Dict({{a, next}, {b, next}});
        }
        auto root = ParseBytes(p.Build(next));
        EXPECT_LE(root->GetChildCount(), 2);
        EXPECT_LE(CountNodes(root.get()), 1 << 18);
    }
    {
        // One 60000-byte string referred to 10000 times would be 1.2 GB of text.
        Bplist p(2, 4);
        const int big = p.Ascii(std::string(60000, 's'));
        auto root = ParseBytes(p.Build(p.Array(std::vector<int>(10000, big))));
        EXPECT_GT(root->GetChildCount(), 0);
        EXPECT_LT(root->GetChildCount(), 10000);
        EXPECT_EQ(root->GetChild(0)->GetValue().size(), 60000u);
    }
}

// The work allowed grows with the input, so that large catalogues are read whole; a bomb padded
// to megabytes must still stop at a tree in proportion to its size, not at its 15^16 leaves.
TEST(CParseBplistHostile, PaddedBombStaysInProportion) {
    Bplist p(4, 4);
    p.Ascii(std::string(size_t{3} << 20, 'p'));  // referred to by nothing
    int next = p.Ascii("x");
    for (int level = 0; level < 16; ++level) {
        next = p.Array(std::vector<int>(15, next));
    }
    const Bytes bytes = p.Build(next);
    auto root = ParseBytes(bytes);
    EXPECT_GT(root->GetChildCount(), 0);
    EXPECT_LE(static_cast<size_t>(CountNodes(root.get())), bytes.size() / 2) << "at most a node for every two bytes";
}

// Every prefix of a real list must parse without reading past its end.
TEST(CParseBplistHostile, TruncatedCatalogue) {
    const Bytes full = RingtoneCatalogue();
    for (size_t length = 0; length < full.size(); ++length) {
        auto root = ParseBytes(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
        ASSERT_NE(root, nullptr) << length;
        if (length < 32) {
            EXPECT_EQ(root->GetChildCount(), 0) << length;
        }
        EXPECT_NE(Shape(root.get()), kCatalogueShape) << length;
    }
}

// One parser used again after a hostile input reads the next list whole.
TEST(CParseBplistHostile, ParserReusedAfterBadInput) {
    Bplist bomb;
    int next = bomb.Ascii("x");
    for (int level = 0; level < 16; ++level) {
        next = bomb.Array(std::vector<int>(15, next));
    }
    const Bytes first = bomb.Build(next);
    const Bytes second = RingtoneCatalogue();

    CParseBplist parser;
    std::unique_ptr<CJson> spent(parser.Parse(first.data(), static_cast<int>(first.size())));
    std::unique_ptr<CJson> tree(parser.Parse(second.data(), static_cast<int>(second.size())));
    EXPECT_EQ(Shape(tree.get()), kCatalogueShape);
    std::unique_ptr<CJson> empty(parser.Parse(nullptr, 0));
    EXPECT_EQ(empty->GetChildCount(), 0);
}

}  // namespace
