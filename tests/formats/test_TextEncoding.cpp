// Tests of the text conversions: ANSI code page choice, UTF-8/ANSI decoding and URL encoding.
#include "TextEncoding.h"

#include <gtest/gtest.h>

#include "CodePageSupport.h"

#include <dlfcn.h>
#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {
std::atomic<long> g_convertersOpened{0};
}  // namespace

// Counts the converters the conversions open, and opens them as usual.
extern "C" iconv_t iconv_open(const char* to, const char* from) {
    using Open = iconv_t (*)(const char*, const char*);
    static const Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "iconv_open"));
    g_convertersOpened.fetch_add(1);
    return real(to, from);
}

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
        ReloadAnsiCodePage();
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
        ReloadAnsiCodePage();
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

// One thread kept for a test, that runs what it is given and waits for more, so that what it
// keeps for itself between calls is kept too.
class Worker {
public:
    Worker() : m_thread([this] { Loop(); }) {}
    ~Worker() {
        Run(nullptr);
        m_thread.join();
    }

    // Runs task on the worker and returns when it is done; an empty task ends the worker.
    void Run(std::function<void()> task) {
        std::unique_lock lock(m_mutex);
        m_task = std::move(task);
        m_stop = !m_task;
        m_pending = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_pending; });
    }

private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_pending; });
            if (m_stop) {
                m_pending = false;
                m_changed.notify_all();
                return;
            }
            m_task();
            m_pending = false;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_task;
    bool m_pending = false;
    bool m_stop = false;
    std::thread m_thread;
};

// Every conversion of the interface once, on the given texts.
struct Results {
    std::string ansi;
    std::u16string fromAnsi;
    std::string utf8;
    std::u16string fromUtf8;
    std::u16string either;
    std::string ansiAsUtf8;
    std::u16string url;

    static Results Of(const std::u16string& text) {
        Results r;
        r.ansi = TextToAnsi(text);
        r.fromAnsi = AnsiToText(r.ansi);
        r.utf8 = TextToUtf8(text);
        r.fromUtf8 = Utf8ToText(r.utf8);
        r.either = Utf8OrAnsiToText(r.ansi);
        r.ansiAsUtf8 = AnsiToUtf8(r.ansi);
        r.url = UrlEncodeText(text);
        return r;
    }
    bool operator==(const Results&) const = default;
};

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

// The code page is decided once: a changed environment counts from ReloadAnsiCodePage on.
TEST(AnsiCodePage, DecidedOnceUntilReloaded) {
    ScopedEnv start("RUVO_ANSI_CODEPAGE", "UTF-8");
    EXPECT_EQ(AnsiCodePage(), "UTF-8");
    setenv("RUVO_ANSI_CODEPAGE", "CP936", 1);
    EXPECT_EQ(AnsiCodePage(), "UTF-8");
    EXPECT_EQ(TextToAnsi(u"\u4E2D"), "\xE4\xB8\xAD");
    ReloadAnsiCodePage();
    EXPECT_EQ(AnsiCodePage(), "CP936");
    EXPECT_EQ(TextToAnsi(u"\u4E2D"), "\xD6\xD0");
    EXPECT_EQ(AnsiToText("\xD6\xD0"), u"\u4E2D");
}

// A change of code page while other threads convert: every conversion uses the one code page or
// the other, whole, and (under ThreadSanitizer) the change races with nothing.
TEST(AnsiCodePage, ChangedWhileOtherThreadsConvert) {
    const std::u16string text = u"abc \u4E2D xyz";
    // Every result a whole conversion can give, under either code page.
    std::vector<std::string> bytes;
    std::vector<std::u16string> texts;
    for (const char* page : {"CP936", "UTF-8"}) {
        SetAnsiCodePage(page);
        bytes.push_back(TextToAnsi(text));
    }
    for (const char* page : {"CP936", "UTF-8"}) {
        SetAnsiCodePage(page);
        for (const std::string& b : bytes) texts.push_back(AnsiToText(b));
    }
    auto oneOf = [](const auto& all, const auto& value) { return std::find(all.begin(), all.end(), value) != all.end(); };
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::string ansi = TextToAnsi(text);
                if (!oneOf(bytes, ansi) || !oneOf(texts, AnsiToText(ansi))) ++mixed;
            }
        });
    }
    for (int n = 0; n < 200; ++n) SetAnsiCodePage(n % 2 == 0 ? "CP936" : "UTF-8");
    stop = true;
    for (std::thread& reader : readers) reader.join();
    SetAnsiCodePage("");
    EXPECT_EQ(mixed.load(), 0);
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

// --- Converters kept per thread ----------------------------------------------------------------

// Once a thread has converted, converting again opens no converter and resolves no code page
// again (resolving one tries a converter for it).
TEST(AnsiConversions, ConvertersAreOpenedOnceAThread) {
    const std::u16string text = u"abc \u4E2D\u00E9 xyz";
    const Results first = Results::Of(text);
    const long opened = g_convertersOpened.load();
    for (int n = 0; n < 50; ++n) {
        EXPECT_TRUE(Results::Of(text) == first);
        (void)AnsiCodePage();
    }
    EXPECT_EQ(g_convertersOpened.load() - opened, 0);
}

// Conversions on several threads at once give what they give on one thread; under
// ThreadSanitizer this also shows that each thread's converters are its own.
TEST(AnsiConversions, ManyThreadsAtOnce) {
    const std::u16string texts[] = {
        u"", u"plain ASCII", u"abc \u4E2D\u00E9 xyz", u"a\U0001F600b", u"\u0E01\u0E02", u"x\xD83D",
    };
    std::vector<Results> expected;
    for (const auto& text : texts) expected.push_back(Results::Of(text));

    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 100; ++n) {
                for (size_t k = 0; k < expected.size(); ++k) {
                    if (!(Results::Of(texts[k]) == expected[k])) ++mismatches[i];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

// The override takes effect for conversions after it, also on a thread that had already
// converted under another code page and kept its converters.
TEST(AnsiCodePage, OverrideAfterConversionsTakesEffect) {
    REQUIRE_KNOWN_PAGE(page);
    const std::u16string text = u"\u4E2D";
    const std::string utf8 = "\xE4\xB8\xAD";
    const std::string cp936 = "\xD6\xD0";
    Worker worker;
    std::string onWorker;
    auto convertOnWorker = [&] { worker.Run([&] { onWorker = TextToAnsi(text); }); };

    convertOnWorker();
    EXPECT_EQ(Hex(onWorker), Hex(*page == Page::Utf8 ? utf8 : cp936)) << "before any override";
    struct Case {
        const char* codepage;
        const std::string& ansi;
    };
    const Case cases[] = {{"CP936", cp936}, {"UTF-8", utf8}, {"CP936", cp936}};
    for (const Case& c : cases) {
        CodePageOverride pageOverride(c.codepage);
        EXPECT_EQ(Hex(TextToAnsi(text)), Hex(c.ansi)) << c.codepage;
        EXPECT_EQ(Units(AnsiToText(c.ansi)), Units(text)) << c.codepage;
        convertOnWorker();
        EXPECT_EQ(Hex(onWorker), Hex(c.ansi)) << c.codepage << " on the other thread";
    }
    // Cleared again: back to the environment's code page on both threads.
    const std::string& fromEnvironment = *page == Page::Utf8 ? utf8 : cp936;
    EXPECT_EQ(Hex(TextToAnsi(text)), Hex(fromEnvironment));
    convertOnWorker();
    EXPECT_EQ(Hex(onWorker), Hex(fromEnvironment));
}
