// The fast readers, writer and conversions against the references they replaced: the previous
// bplist reader and JSON reader and writer (tests/formats/reference) and the iconv converter.
// Every tree, text and byte must come out exactly as before.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CJson.h"
#include "CParseBplist.h"
#include "CodePageSupport.h"
#include "IconvConverter.h"
#include "ReferenceBplist.h"
#include "ReferenceJson.h"
#include "TextEncoding.h"

namespace {

using Tree = std::unique_ptr<CJson>;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

// --- Binary property lists -----------------------------------------------------------------------

// Text with what tends to break writers and readers: quotes, brackets, separators, backslashes,
// empty text, Chinese and characters outside the BMP.
std::string TrickyText(std::mt19937& rng) {
    static const char* const pieces[] = {"\"", "\\", "[", "]", "{", "}", ",", ":", "[]", "\":", " ", "a", "Ring",
                                         "\xE9\x93\x83\xE5\xA3\xB0", "\xF0\x9F\x8E\xB5", "t%2Cm%2Cp", "0", "1.5",
                                         "true", "\\\""};
    std::uniform_int_distribution<int> length(0, 6);
    std::uniform_int_distribution<size_t> piece(0, std::size(pieces) - 1);
    std::string text;
    for (int n = length(rng); n > 0; --n) text += pieces[piece(rng)];
    return text;
}

plist_t RandomValue(std::mt19937& rng, int depth) {
    std::uniform_int_distribution<int> kind(0, depth > 3 ? 6 : 9);
    switch (kind(rng)) {
    case 0: return plist_new_string(TrickyText(rng).c_str());
    case 1: return plist_new_string("");
    case 2: return plist_new_uint(std::uniform_int_distribution<uint64_t>()(rng) >> (rng() % 64));
    case 3: return plist_new_bool(rng() % 2);
    case 4: return plist_new_real(std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
    case 5: {
        const std::string bytes = TrickyText(rng);
        return plist_new_data(bytes.data(), bytes.size());
    }
    case 6: return plist_new_uint(static_cast<uint64_t>(-static_cast<int64_t>(rng() % 100000)));
    case 7: {
        plist_t array = plist_new_array();
        for (int n = static_cast<int>(rng() % 4); n > 0; --n) plist_array_append_item(array, RandomValue(rng, depth + 1));
        return array;
    }
    default: {
        plist_t dict = plist_new_dict();
        for (int n = static_cast<int>(rng() % 4); n > 0; --n)
            plist_dict_set_item(dict, TrickyText(rng).c_str(), RandomValue(rng, depth + 1));
        return dict;
    }
    }
}

// A catalogue of the phone's shape, its values drawn from the tricky texts and shapes above.
std::string RandomCatalogue(std::mt19937& rng, int tones) {
    plist_t root = plist_new_dict();
    plist_t ringtones = plist_new_dict();
    for (int i = 0; i < tones; ++i) {
        plist_t tone = plist_new_dict();
        plist_dict_set_item(tone, "Name", plist_new_string(TrickyText(rng).c_str()));
        plist_dict_set_item(tone, "GUID", plist_new_string("0123456789ABCDEF"));
        plist_dict_set_item(tone, "PID", plist_new_uint(rng()));
        plist_dict_set_item(tone, "Total Time", plist_new_uint(rng() % 40000));
        plist_dict_set_item(tone, "Protected Content", plist_new_bool(0));
        plist_dict_set_item(tone, TrickyText(rng).c_str(), RandomValue(rng, 2));
        plist_dict_set_item(ringtones, (TrickyText(rng) + std::to_string(i) + ".m4r").c_str(), tone);
    }
    plist_dict_set_item(root, "Ringtones", ringtones);
    plist_dict_set_item(root, TrickyText(rng).c_str(), RandomValue(rng, 1));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    std::string bytes(bin, length);
    std::free(bin);
    plist_free(root);
    return bytes;
}

void ExpectSameBplistTrees(const std::string& bytes, const std::string& what) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int length = static_cast<int>(bytes.size());
    CParseBplist ours;
    ReferenceBplistParser theirs;
    Tree a(ours.Parse(data, length));
    Tree b(theirs.Parse(data, length));
    std::string where;
    ASSERT_TRUE(reference::SameTree(a.get(), b.get(), &where)) << what << ": " << where;
    EXPECT_EQ(a->ToString(), reference::ToString(b.get())) << what;
}

TEST(DifferentialBplist, GeneratedCataloguesReadAsBefore) {
    std::mt19937 rng(20261211);
    for (int round = 0; round < 60; ++round) {
        const std::string bytes = RandomCatalogue(rng, 1 + round % 7);
        ExpectSameBplistTrees(bytes, "catalogue " + std::to_string(round));
    }
}

// Damaged files take the same skips: every broken object reads as it did.
TEST(DifferentialBplist, DamagedCataloguesReadAsBefore) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes = RandomCatalogue(rng, 3);
        for (int flips = 1 + round % 4; flips > 0; --flips) bytes[rng() % bytes.size()] = static_cast<char>(rng());
        ExpectSameBplistTrees(bytes, "damaged catalogue " + std::to_string(round));
    }
}

// The parent a caller hands to ParseObject gets the children the previous reader gave it.
TEST(DifferentialBplist, ParseObjectAppendsToTheCallersParentAsBefore) {
    std::mt19937 rng(3);
    const std::string bytes = RandomCatalogue(rng, 4);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int length = static_cast<int>(bytes.size());
    for (const char16_t* value : {u"", u"x", u"5"}) {
        CParseBplist ours;
        ReferenceBplistParser theirs;
        // Parse prepares the object table; the trees it returns are not needed here.
        Tree(ours.Parse(data, length));
        Tree(theirs.Parse(data, length));
        CJson a(u"held", value);
        CJson b(u"held", value);
        a.AddChild(u"before", u"1");
        b.AddChild(u"before", u"1");
        // The offset table outlives Parse; the data pointer does not, so nothing is added.
        EXPECT_EQ(ours.ParseObject(0, &a), &a);
        EXPECT_EQ(theirs.ParseObject(0, &b), &b);
        EXPECT_TRUE(reference::SameTree(&a, &b));
    }
}

// --- JSON ----------------------------------------------------------------------------------------

void ExpectSameJson(const std::u16string& text, const std::string& what) {
    Tree ours(CJson::Parse(text));
    Tree theirs(reference::ParseJson(text));
    std::string where;
    ASSERT_TRUE(reference::SameTree(ours.get(), theirs.get(), &where)) << what << ": " << where;
    EXPECT_EQ(ours->ToString(), reference::ToString(theirs.get())) << what;
    EXPECT_EQ(CJson::Mask(text), reference::Mask(text)) << what;
    Tree copy(ours->Clone());
    Tree referenceCopy(theirs->Clone());
    EXPECT_TRUE(reference::SameTree(copy.get(), referenceCopy.get())) << what;
}

std::u16string Repeat(const std::u16string& piece, size_t times) {
    std::u16string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(DifferentialJson, TrickyTextsReadAndWriteAsBefore) {
    struct Case {
        const char* desc;
        std::u16string text;
    };
    const Case cases[] = {
        {"a request", u"{\"cmd\":\"addring\",\"title\":\"\u94C3\u58F0 [1]\",\"timems\":\"30000\",\"pids\":[1,2]}"},
        {"escaped quotes and backslashes", u"{\"a\":\"x\\\"y\\\\\",\"b\\\\\":\"\\\\\\\"\"}"},
        {"a backslash run before a piece", u"[\\\\\\\"a\",\\\\\"b\"]"},
        {"a quote stripped after a colon", u"k:\"a{}{},x"},
        {"a backslash stripped after a colon", u"k:\\\"a{}{}"},
        {"a key with brackets in a string", u"{\"[k]\":{\"a\":[]}}"},
        {"empty brackets in a keyed value", u"{\"k\":[[],[{}],\"[]\"]}"},
        {"unbalanced closers", u"]]}:,{[x"},
        {"unclosed string", u"{\"a\":\"b,c:d}"},
        {"a flat array", u"[" + Repeat(u"1,", 2000) + u"1]"},
        {"masked forms", u"{\"a\":\"t%2Cm%2Cp\",\"b\":[\"t%3Am%3Ap\"]}"},
        {"spaces everywhere", u" { \"a\" : [ 1 , { \"b\" : \"c\" } ] , \"d\" : \"\" } "},
    };
    for (const Case& c : cases) ExpectSameJson(c.text, c.desc);
}

// Texts that nest down to the reader's depth cap and past it.
TEST(DifferentialJson, DeepTextsReadAndWriteAsBefore) {
    SKIP_DEEP_TREES_UNDER_TSAN();
    struct Case {
        const char* desc;
        std::u16string text;
    };
    const Case cases[] = {
        {"colons", Repeat(u":", 3000)},
        {"colon chain with text", Repeat(u"k:ak:", 700) + u"{}{}"},
        {"nesting past the depth cap", Repeat(u"{\"a\":", 1200) + u"1" + Repeat(u"}", 1200)},
        {"arrays past the depth cap", Repeat(u"[", 1100) + u"1" + Repeat(u"]", 1100)},
    };
    for (const Case& c : cases) ExpectSameJson(c.text, c.desc);
}

TEST(DifferentialJson, RandomTextsReadAndWriteAsBefore) {
    static const char16_t alphabet[] = u"{}[]{}[],,::\"\"\"\\\\\\ ab1.\u94C3";
    std::mt19937 rng(42);
    for (int round = 0; round < 4000; ++round) {
        std::u16string text;
        const size_t length = rng() % (round < 3000 ? 24 : 300);
        for (size_t i = 0; i < length; ++i) text.push_back(alphabet[rng() % (std::size(alphabet) - 1)]);
        ExpectSameJson(text, "random text " + std::to_string(round));
        if (HasFatalFailure()) return;
    }
}

// The writer on trees built through the public setters, as the link and the sync build them.
TEST(DifferentialJson, BuiltTreesWriteAsBefore) {
    static const char16_t* const texts[] = {u"", u"a", u"[]", u"{x}", u"[1,2]", u"\"q\"", u"\"\"x\"\"", u"12", u"0",
                                            u"1.5", u"TRUE", u"a\":b", u"[", u"]", u"\\", u"t%3Am%3Ap", u"x[]y"};
    std::mt19937 rng(11);
    auto text = [&] { return std::u16string(texts[rng() % std::size(texts)]); };
    for (int round = 0; round < 1500; ++round) {
        Tree root(new CJson());
        std::vector<CJson*> nodes{root.get()};
        for (int step = 0; step < 12; ++step) {
            CJson* at = nodes[rng() % nodes.size()];
            switch (rng() % 7) {
            case 0: nodes.push_back(at->AddChild(text(), text())); break;
            case 1: nodes.push_back(at->AddChild(new CJson(text(), text()))); break;
            case 2: at->SetValue(text()); break;
            case 3: at->SetKey(text()); break;
            case 4: at->SetLong(static_cast<int32_t>(rng() % 200) - 100); break;
            case 5: nodes.push_back(at->AddChild(new CJson())); break;
            default: {
                // A cleared node has no type name at all.
                if (at != root.get() && at->GetChildCount() == 0) at->Clear();
                break;
            }
            }
        }
        for (CJson* node : nodes) {
            ASSERT_EQ(node->ToString(), reference::ToString(node)) << "round " << round;
        }
        Tree copy(root->Clone());
        ASSERT_EQ(copy->ToString(), reference::ToString(copy.get())) << "round " << round;
    }
}

// --- UTF-8 -----------------------------------------------------------------------------------------

void ExpectUtf8AsIconv(IconvConverter& iconv, const std::string& bytes) {
    ASSERT_EQ(Utf8ToText(bytes), iconv.ToText(bytes)) << Hex(bytes);
}

TEST(DifferentialUtf8, DecodingReplacesAsIconvDoes) {
    IconvConverter iconv("UTF-8");
    ASSERT_TRUE(iconv.IsOpen());
    // Every sequence of one and two bytes.
    for (int a = 0; a < 256; ++a) {
        ExpectUtf8AsIconv(iconv, std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) {
            const std::string pair{static_cast<char>(a), static_cast<char>(b)};
            ExpectUtf8AsIconv(iconv, pair);
            if (HasFatalFailure()) return;
        }
    }
    // Longer ones from the bytes where the rules change, between and after ASCII.
    static const uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                    0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5,
                                    0xF7, 0xF8, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
    std::mt19937 rng(5);
    for (int round = 0; round < 200000; ++round) {
        std::string bytes;
        for (size_t n = 1 + rng() % 7; n > 0; --n) bytes.push_back(static_cast<char>(edges[rng() % std::size(edges)]));
        ExpectUtf8AsIconv(iconv, bytes);
        if (HasFatalFailure()) return;
    }
}

// Under a UTF-8 code page, ANSI bytes re-encoded as UTF-8 are what decoding and encoding them
// give, whether the bytes are well-formed or not.
TEST(DifferentialUtf8, AnsiToUtf8IsDecodeThenEncode) {
    SetAnsiCodePage("UTF-8");
    static const uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xE4, 0xED,
                                    0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F, 0xB8, 0xAD};
    std::mt19937 rng(8);
    for (int round = 0; round < 100000; ++round) {
        std::string bytes;
        for (size_t n = 1 + rng() % 8; n > 0; --n) bytes.push_back(static_cast<char>(edges[rng() % std::size(edges)]));
        const std::string upToZero = bytes.substr(0, bytes.find('\0'));
        ASSERT_EQ(AnsiToUtf8(bytes), TextToUtf8(Utf8ToText(upToZero))) << Hex(bytes);
    }
    SetAnsiCodePage("");
}

TEST(DifferentialUtf8, EncodingReplacesAsIconvDoes) {
    IconvConverter iconv("UTF-8");
    static const char16_t edges[] = {0x0000, 0x0041, 0x007F, 0x0080, 0x07FF, 0x0800, 0x4E2D, 0xD7FF, 0xD800,
                                     0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
    std::mt19937 rng(6);
    for (int round = 0; round < 100000; ++round) {
        std::u16string text;
        for (size_t n = 1 + rng() % 6; n > 0; --n) text.push_back(edges[rng() % std::size(edges)]);
        ASSERT_EQ(TextToUtf8(text), iconv.FromText(text)) << round;
    }
}

}  // namespace
