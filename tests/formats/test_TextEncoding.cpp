// Tests of the text conversions: ANSI code page choice, UTF-8/ANSI decoding and URL encoding.
#include "TextEncoding.h"

#include <gtest/gtest.h>

#include "CodePageSupport.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets the process-wide override for one test and clears it again.
class CodePageOverride {
public:
    explicit CodePageOverride(const std::string& codepage) { SetAnsiCodePage(codepage); }
    ~CodePageOverride() { SetAnsiCodePage(""); }
};

// Sets or unsets an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
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

}  // namespace

// --- Choice of the ANSI code page -------------------------------------------------------------

TEST(AnsiCodePage, OverrideBeatsEnvironmentAndClearsBackToIt) {
    ScopedEnv env("RUVO_ANSI_CODEPAGE", "CP936");
    EXPECT_EQ(AnsiCodePage(), "CP936");
    {
        CodePageOverride page("UTF-8");
        EXPECT_EQ(AnsiCodePage(), "UTF-8");
        EXPECT_EQ(TextToAnsi(u"\u4E2D"), "\xE4\xB8\xAD");
    }
    EXPECT_EQ(AnsiCodePage(), "CP936");
    EXPECT_EQ(TextToAnsi(u"\u4E2D"), "\xD6\xD0");
}

TEST(AnsiCodePage, UnknownCodePageFallsBackToUtf8) {
    struct Case {
        const char* desc;
        const char* env;
        const char* override;
    };
    const Case cases[] = {
        {"unknown name from the environment", "NO-SUCH-CODEPAGE", ""},
        {"unknown name from the override", "CP936", "NO-SUCH-CODEPAGE"},
    };
    for (const Case& c : cases) {
        ScopedEnv env("RUVO_ANSI_CODEPAGE", c.env);
        CodePageOverride page(c.override);
        EXPECT_EQ(AnsiCodePage(), "UTF-8") << c.desc;
        // The conversions follow the fallback too, so nothing non-ASCII is lost.
        EXPECT_EQ(TextToAnsi(u"\u00E9"), "\xC3\xA9") << c.desc;
        EXPECT_EQ(AnsiToText("\xC3\xA9"), u"\u00E9") << c.desc;
    }
}

TEST(AnsiCodePage, LocaleCodesetWithoutTouchingTheGlobalLocale) {
    struct Case {
        const char* desc;
        const char* lcAll;
    };
    const Case cases[] = {
        {"C locale counts as UTF-8", "C"},
        {"POSIX locale counts as UTF-8", "POSIX"},
        {"UTF-8 locale", "C.UTF-8"},
        {"locale that is not installed counts as UTF-8", "xx_NOWHERE.ISO-8859-1"},
    };
    ScopedEnv emptyEnvIsIgnored("RUVO_ANSI_CODEPAGE", "");
    const std::string globalBefore = std::setlocale(LC_CTYPE, nullptr);
    for (const Case& c : cases) {
        ScopedEnv lcAll("LC_ALL", c.lcAll);
        EXPECT_EQ(AnsiCodePage(), "UTF-8") << c.desc;
        EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), globalBefore) << c.desc;
    }
}

// --- Plain UTF-8 conversions -------------------------------------------------------------------

TEST(Utf8ToText, DecodesAndReplacesInvalidBytes) {
    struct Case {
        const char* desc;
        std::string utf8;
        std::u16string text;
    };
    const Case cases[] = {
        {"empty", "", u""},
        {"two- and three-byte characters", "\xC3\xA9\xE4\xB8\xAD", u"\u00E9\u4E2D"},
        {"four bytes become a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"truncated sequence at the end", "ab\xE4\xB8", u"ab\uFFFD"},
        {"invalid byte keeps the following text",
         "a\xFF"
         "bc",
         u"a\uFFFDbc"},
        {"lead byte followed by ASCII keeps the ASCII",
         "\xE4"
         "A",
         u"\uFFFDA"},
        {"stray continuation byte",
         "\x80"
         "a",
         u"\uFFFDa"},
        {"zero byte inside the view is converted", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const Case& c : cases) EXPECT_EQ(Units(Utf8ToText(c.utf8)), Units(c.text)) << c.desc;
}

TEST(TextToUtf8, EncodesAndReplacesLoneSurrogates) {
    struct Case {
        const char* desc;
        std::u16string text;
        std::string utf8;
    };
    const Case cases[] = {
        {"empty", u"", ""},
        {"BMP characters", u"a\u00E9\u4E2D", "a\xC3\xA9\xE4\xB8\xAD"},
        {"surrogate pair is one character", u"\U0001F600", "\xF0\x9F\x98\x80"},
        {"lone high surrogate in the middle",
         u"a\xD83D"
         u"b",
         "a?b"},
        {"lone high surrogate at the end", u"a\xD83D", "a?"},
        {"lone low surrogate",
         u"\xDE00"
         u"b",
         "?b"},
    };
    for (const Case& c : cases) EXPECT_EQ(Hex(TextToUtf8(c.text)), Hex(c.utf8)) << c.desc;
}

// --- ANSI conversions, under the code page in force --------------------------------------------

TEST(TextToAnsi, EncodesWithTheCodePageAndDefaultCharacter) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::u16string text;
        std::string utf8Page;
        std::string cp936Page;
    };
    const Case cases[] = {
        {"empty", u"", "", ""},
        {"ASCII", u"a b&c", "a b&c", "a b&c"},
        {"Chinese character", u"\u4E2D", "\xE4\xB8\xAD", "\xD6\xD0"},
        {"e acute (in GBK as well)", u"\u00E9", "\xC3\xA9", "\xA8\xA6"},
        {"Thai character not in CP936",
         u"a\u0E01"
         u"b",
         "a\xE0\xB8\x81"
         "b",
         "a?b"},
        {"emoji is one default character",
         u"a\U0001F600"
         u"b",
         "a\xF0\x9F\x98\x80"
         "b",
         "a?b"},
        {"lone surrogate",
         u"\xD83D"
         u"z",
         "?z", "?z"},
    };
    for (const Case& c : cases) {
        const std::string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Hex(TextToAnsi(c.text)), Hex(expected)) << c.desc;
    }
}

TEST(AnsiToText, DecodesWithTheCodePage) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::string ansi;
        std::u16string utf8Page;
        std::u16string cp936Page;
    };
    const Case cases[] = {
        {"empty", "", u"", u""},
        {"double-byte character", "\xD6\xD0", u"\uFFFD\uFFFD", u"\u4E2D"},
        {"UTF-8 bytes", "\xE4\xB8\xAD", u"\u4E2D", u"\u6D93\uFFFD"},
        {"euro byte of CP936",
         "\x80"
         "A",
         u"\uFFFD"
         "A",
         u"\u20AC"
         "A"},
        {"lead byte cut off at the end", "a\xD6", u"a\uFFFD", u"a\uFFFD"},
    };
    for (const Case& c : cases) {
        const std::u16string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Units(AnsiToText(c.ansi)), Units(expected)) << c.desc;
    }
}

TEST(AnsiToUtf8, ReencodesUpToTheFirstZero) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::string ansi;
        std::string utf8Page;
        std::string cp936Page;
    };
    const Case cases[] = {
        {"empty", "", "", ""},
        {"ASCII", "abc", "abc", "abc"},
        {"double-byte character", "\xD6\xD0", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xE4\xB8\xAD"},
        {"the UTF-8 bytes of e acute", "\xC3\xA9", "\xC3\xA9", "\xE8\x8C\x85"},
        {"stops at the first zero", std::string("ab\0\xD6\xD0", 5), "ab", "ab"},
    };
    for (const Case& c : cases) {
        const std::string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Hex(AnsiToUtf8(c.ansi)), Hex(expected)) << c.desc;
    }
}

TEST(AnsiConversions, AgreeWithEachOtherUnderBothCodePages) {
    // One setting serves every conversion: text the code page can hold survives both round trips.
    const std::u16string text = u"abc \u4E2D\u00E9 xyz";
    for (const char* codepage : {"UTF-8", "CP936"}) {
        CodePageOverride page(codepage);
        const std::string ansi = TextToAnsi(text);
        EXPECT_EQ(Units(AnsiToText(ansi)), Units(text)) << codepage;
        EXPECT_EQ(Units(Utf8ToText(AnsiToUtf8(ansi))), Units(text)) << codepage;
        EXPECT_EQ(Units(Utf8OrAnsiToText(ansi)), Units(text)) << codepage;
    }
}

// --- UTF-8 or ANSI --------------------------------------------------------------------------

TEST(Utf8OrAnsiToText, ShapeTestChoosesTheDecoder) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::string bytes;
        std::u16string utf8Page;
        std::u16string cp936Page;
    };
    // Under CP936 the two branches give different text, so these cases show which was taken.
    const Case cases[] = {
        {"empty", "", u"", u""},
        {"ASCII", "abc", u"abc", u"abc"},
        {"two-byte UTF-8", "\xC3\xA9", u"\u00E9", u"\u00E9"},
        {"three-byte UTF-8", "\xE4\xB8\xAD", u"\u4E2D", u"\u4E2D"},
        {"lone E4 after ASCII passes, decoded as UTF-8", "ab\xE4", u"ab\uFFFD", u"ab\uFFFD"},
        {"three-byte lead in the last two bytes passes", "ab\xE4\xB8", u"ab\uFFFD", u"ab\uFFFD"},
        {"trailing byte unchecked when the lead runs past the end",
         "\xE4"
         "A",
         u"\uFFFD"
         "A",
         u"\uFFFD"
         "A"},
        {"byte 0x80 first fails",
         "\x80"
         "A",
         u"\uFFFD"
         "A",
         u"\u20AC"
         "A"},
        {"bad trailing byte fails", "\xD6\xD0", u"\uFFFD\uFFFD", u"\u4E2D"},
        {"bad byte before the end fails",
         "\xE4"
         "AA",
         u"\uFFFD"
         "AA",
         u"\u92A9"
         "A"},
        {"four-byte sequence never passes", "\xF0\x9F\x98\x80", u"\U0001F600", u"\u9983\u69BE"},
        {"F0 lead fails even before continuation bytes", "\xF0\x9F\x98", u"\uFFFD", u"\u9983\uFFFD"},
        {"stops at the first zero", std::string("a\0\xD6\xD0", 4), u"a", u"a"},
    };
    for (const Case& c : cases) {
        const std::u16string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Units(Utf8OrAnsiToText(c.bytes)), Units(expected)) << c.desc;
    }
}

// --- URL encoding -------------------------------------------------------------------------------

TEST(UrlEncodeText, PercentEncodesOnlyNonAsciiBytes) {
    REQUIRE_KNOWN_PAGE(page);
    struct Case {
        const char* desc;
        std::u16string text;
        std::u16string utf8Page;
        std::u16string cp936Page;
    };
    const Case cases[] = {
        {"empty", u"", u"", u""},
        {"ASCII reserved characters stay as they are", u"a b&c=d+e%f?g/h", u"a b&c=d+e%f?g/h", u"a b&c=d+e%f?g/h"},
        {"representable character as upper-case UTF-8 escapes", u"\u4E2D", u"%E4%B8%AD", u"%E4%B8%AD"},
        {"two-byte character", u"x\u00E9", u"x%C3%A9", u"x%C3%A9"},
        {"unrepresentable character becomes a plain ?", u"a\u0E01", u"a%E0%B8%81", u"a?"},
        {"emoji", u"\U0001F600", u"%F0%9F%98%80", u"?"},
        {"ends at a zero character", std::u16string(u"a\0\u4E2D", 3), u"a", u"a"},
    };
    for (const Case& c : cases) {
        const std::u16string& expected = *page == Page::Utf8 ? c.utf8Page : c.cp936Page;
        EXPECT_EQ(Units(UrlEncodeText(c.text)), Units(expected)) << c.desc;
    }
}
