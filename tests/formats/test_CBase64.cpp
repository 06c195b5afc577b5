// Tests of CBase64: block coding with its line-break rule, and the text-level Encode and Decode.
#include "CBase64.h"
#include "TextEncoding.h"

#include <gtest/gtest.h>

#include "CodePageSupport.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& ascii) {
    std::string out;
    for (char16_t c : ascii) out.push_back(c < 0x80 ? static_cast<char>(c) : '#');
    return out;
}

std::string Units(const std::u16string& text) {
    std::string out;
    char buf[8];
    for (char16_t c : text) {
        std::snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(c));
        out += buf;
    }
    return out;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Buffer size the header promises is enough: 4 per started group, 2 per line break, 1 zero.
size_t EncodeCapacity(int n) { return 4 * ((n + 2) / 3) + 2 * (n / 3) + 1; }

constexpr char kCanary = '\x7E';

}  // namespace

// --- EncodeBlock and EncodeBytes --------------------------------------------------------------

TEST(CBase64EncodeBytes, LineBreakOnlyAfterExactlyThreeBytes) {
    struct Case {
        const char* desc;
        std::string bytes;
        std::string base64;
    };
    const Case cases[] = {
        {"one byte", "a", "YQ=="},
        {"two bytes", "ab", "YWI="},
        {"three bytes end in CR LF", "abc", "YWJj\r\n"},
        {"four bytes", "abcd", "YWJjZA=="},
        {"five bytes", "abcde", "YWJjZGU="},
        {"six bytes", "abcdef", "YWJjZGVm"},
        {"seven bytes", "abcdefg", "YWJjZGVmZw=="},
        {"last two letters of the alphabet", "\xFB\xEF\xBE\xFF\xFF\xFF", "++++////"},
        {"zero bytes are data", std::string(4, '\0'), "AAAAAA=="},
    };
    for (const Case& c : cases) {
        CBase64 b64;
        EXPECT_EQ(Narrow(b64.EncodeBytes(Bytes(c.bytes), static_cast<int>(c.bytes.size()))), c.base64) << c.desc;
    }
}

TEST(CBase64EncodeBytes, NothingToEncodeGivesEmptyText) {
    CBase64 b64;
    const uint8_t data[] = {'a', 'b', 'c'};
    EXPECT_EQ(b64.EncodeBytes(data, 0), u"");
    EXPECT_EQ(b64.EncodeBytes(data, -3), u"");
}

TEST(CBase64EncodeBlock, BreaksAfterTheGroupThatPassesTheLineLength) {
    struct Case {
        const char* desc;
        std::string bytes;
        int maxLine;
        std::string base64;
    };
    const Case cases[] = {
        {"line reaches L exactly: no break yet", "abcdef", 8, "YWJjZGVm\r\n"},
        {"break after every group", "abcdef", 7, "YWJj\r\nZGVm\r\n"},
        {"no break test after the remainder", "abcdefg", 8, "YWJjZGVm\r\nZw=="},
        {"small maximum", "abcd", 0, "YWJj\r\nZA=="},
        {"nothing to encode", "", 76, ""},
    };
    for (const Case& c : cases) {
        std::vector<char> out(EncodeCapacity(static_cast<int>(c.bytes.size())) + 1, kCanary);
        CBase64 b64;
        const int count = b64.EncodeBlock(Bytes(c.bytes), static_cast<int>(c.bytes.size()), out.data(), c.maxLine);
        ASSERT_EQ(count, static_cast<int>(c.base64.size())) << c.desc;
        EXPECT_EQ(std::string(out.data(), count), c.base64) << c.desc;
        EXPECT_EQ(out[count], '\0') << c.desc;
        EXPECT_EQ(out.back(), kCanary) << c.desc << ": wrote past the promised size";
    }
}

TEST(CBase64EncodeBlock, SeventySixCharacterLines) {
    struct Case {
        const char* desc;
        int n;
        int count;
        std::vector<int> breaks;  // offsets of the CR LF pairs
    };
    const Case cases[] = {
        {"54 bytes: 72 characters, no break", 54, 72, {}},
        {"57 bytes: 76 characters and CR LF", 57, 78, {76}},
        {"58 bytes: the remainder goes on the next line", 58, 82, {76}},
        {"114 bytes: two full lines", 114, 156, {76, 154}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(c.n);
        for (int i = 0; i < c.n; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
        std::vector<char> out(EncodeCapacity(c.n) + 1, kCanary);
        CBase64 b64;
        const int count = b64.EncodeBlock(bytes.data(), c.n, out.data(), 76);
        ASSERT_EQ(count, c.count) << c.desc;
        const std::string text(out.data(), count);
        std::vector<int> breaks;
        for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2))
            breaks.push_back(static_cast<int>(pos));
        EXPECT_EQ(breaks, c.breaks) << c.desc;
        EXPECT_EQ(out.back(), kCanary) << c.desc << ": wrote past the promised size";
    }
}

TEST(CBase64Block, EveryByteValueSurvivesTheRoundTrip) {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    for (int n : {254, 255, 256}) {  // remainders of 2, 0 and 1
        std::vector<char> text(EncodeCapacity(n));
        CBase64 b64;
        const int m = b64.EncodeBlock(bytes.data(), n, text.data(), 76);
        std::vector<uint8_t> decoded(3 * ((m + 3) / 4) + 1);
        const int written = b64.DecodeBlock(text.data(), m, decoded.data());
        ASSERT_EQ(written, n) << n << " bytes";
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + n, decoded.begin())) << n << " bytes";
    }
}

// --- DecodeBlock ------------------------------------------------------------------------------

TEST(CBase64DecodeBlock, DecodesGroupsAndSkipsLineBreaks) {
    struct Case {
        const char* desc;
        std::string in;
        int m;
        std::string bytes;
    };
    const Case cases[] = {
        {"line break inside a group", "YW\r\nJj", 6, "abc"},
        {"padding ends the group after one byte", "YQ==", 4, "a"},
        {"padding ends the group after two bytes", "YWI=", 4, "ab"},
        {"folded lines with a trailing break", "YWJj\r\nZGVm\r\n", 12, "abcdef"},
        {"bare LF and CR", "YWJj\nZA==\r", 10, "abcd"},
        {"only line breaks", "\r\n\r\n", 4, ""},
        {"no input", "", 0, ""},
        {"characters outside the alphabet count as 0", "Y!Jj", 4,
         "\x60\x02"
         "c"},
        {"padding in the first two places counts as 0", "==Jj", 4,
         std::string("\0\x02"
                     "c",
                     3)},
        {"byte 0x80 and above counts as 0", "\x80QJj", 4,
         "\x01\x02"
         "c"},
        {"one missing character counts as padding", "YWJ", 3, "ab"},
        {"two missing characters count as padding", "YW", 2, "a"},
        {"a single character still gives the first byte", "Y", 1, "\x60"},
        {"nothing read past m", "YWJjZGVm", 6, "abcd"},
        {"nothing read past m, inside the first group", "YWJjZGVm", 2, "a"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out(3 * ((c.in.size() + 3) / 4) + 2, 0xEE);
        CBase64 b64;
        const int written = b64.DecodeBlock(c.in.data(), c.m, out.data());
        ASSERT_EQ(written, static_cast<int>(c.bytes.size())) << c.desc;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), written), c.bytes) << c.desc;
        EXPECT_EQ(out[written], 0) << c.desc;
        EXPECT_EQ(out[written + 1], 0xEE) << c.desc << ": wrote past the terminating zero";
    }
}

// --- Encode and Decode of text ------------------------------------------------------------------

TEST(CBase64Encode, EncodesTheAnsiBytesOfTheText) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::u16string text;
        std::string utf8Page;
        std::string cp936Page;
    };
    const Case cases[] = {
        {"empty", u"", "", ""},
        {"three letters", u"abc", "YWJj\r\n", "YWJj\r\n"},
        {"Chinese character", u"\u4E2D", "5Lit\r\n", "1tA="},
        {"unrepresentable character as the default character", u"\u0E01", "4LiB\r\n", "Pw=="},
        {"text ends at a zero character", std::u16string(u"a\0b", 3), "YQ==", "YQ=="},
    };
    for (const Case& c : cases) {
        CBase64 b64;
        const std::string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Narrow(b64.Encode(c.text)), expected) << c.desc;
    }
}

TEST(CBase64Decode, ReadsTheDecodedBytesAsUtf8OrAnsi) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::string base64;
        std::u16string utf8Page;
        std::u16string cp936Page;
    };
    const Case cases[] = {
        {"empty", "", u"", u""},
        {"ASCII with a trailing line break", "YWJj\r\n", u"abc", u"abc"},
        {"short input", "YQ", u"a", u"a"},
        {"C3 A9 is UTF-8", "w6k=", u"\u00E9", u"\u00E9"},
        {"E4 B8 AD is UTF-8", "5Lit", u"\u4E2D", u"\u4E2D"},
        {"80 41 fails the shape test", "gEE=",
         u"\uFFFD"
         "A",
         u"\u20AC"
         "A"},
        {"D6 D0 fails the shape test", "1tA=", u"\uFFFD\uFFFD", u"\u4E2D"},
        {"binary content ends at its first zero byte", "YQBi", u"a", u"a"},
    };
    for (const Case& c : cases) {
        CBase64 b64;
        const std::u16string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Units(b64.Decode(Widen(c.base64))), Units(expected)) << c.desc;
    }
}

TEST(CBase64, TextSurvivesEncodeAndDecode) {
    const std::u16string text = u"host: \u4E2D\u6587 \u00E9 abc 1234567890 +/=";
    CBase64 b64;
    EXPECT_EQ(Units(b64.Decode(b64.Encode(text))), Units(text));
}
