// Tests of the file helpers: whole-file reads and writes, and a replacement that survives being cut short.
#include "FileHelpers.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "TempFolder.h"
#include "TextEncoding.h"

namespace {

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string U8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::optional<std::string> Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

class ScopedCodePage {
public:
    explicit ScopedCodePage(const std::string& page) { SetAnsiCodePage(page); }
    ~ScopedCodePage() { SetAnsiCodePage(std::string()); }
};

}  // namespace

// --- Reading ----------------------------------------------------------------------------------

TEST(ReadFileBytes, ReadsTheFileOrItsFirstBytesFollowedByAZero) {
    struct Case {
        const char* desc;
        std::optional<std::string> content;  // nullopt: no file
        int64_t maxLength;
        int64_t result;
        std::string bytes;
    };
    const Case cases[] = {
        {"missing file", std::nullopt, 0, -1, ""},
        {"empty file", std::string(), 0, 0, ""},
        {"whole file", std::string("hello"), 0, 5, "hello"},
        {"cut to the maximum", std::string("hello"), 3, 3, "hel"},
        {"a maximum above the length", std::string("hello"), 10, 5, "hello"},
        {"a negative maximum means no limit", std::string("hello"), -1, 5, "hello"},
        {"zero bytes are data", std::string("a\0b\0", 4), 0, 4, std::string("a\0b\0", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        TempFolder folder;
        const std::string path = folder.File("f");
        if (c.content) Put(path, *c.content);
        std::unique_ptr<uint8_t[]> bytes;
        const int64_t n = ReadFileBytes(Widen(path), c.maxLength, bytes);
        ASSERT_EQ(n, c.result);
        if (n < 0) {
            EXPECT_EQ(bytes, nullptr) << "a failed read sets no array";
            continue;
        }
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<size_t>(n)), c.bytes);
        EXPECT_EQ(bytes[static_cast<size_t>(n)], 0);
    }
}

TEST(ReadFileBytes, AFolderIsNotAFile) {
    TempFolder folder;
    std::unique_ptr<uint8_t[]> bytes;
    EXPECT_EQ(ReadFileBytes(Widen(folder.Path()), 0, bytes), -1);
    EXPECT_EQ(bytes, nullptr);
}

TEST(ReadTextFile, DecodesTheAnsiBytesUpToTheFirstZero) {
    struct Case {
        const char* desc;
        const char* codePage;
        std::optional<std::string> content;
        std::u16string text;
    };
    const Case cases[] = {
        {"missing file", "UTF-8", std::nullopt, u""},
        {"empty file", "UTF-8", std::string(), u""},
        {"UTF-8 code page", "UTF-8", U8(u8"系统 ok"), u"系统 ok"},
        {"CP936 code page", "CP936", std::string("\xCF\xB5\xCD\xB3 ok"), u"系统 ok"},
        {"stops at a zero byte", "UTF-8", std::string("abc\0def", 7), u"abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ScopedCodePage page(c.codePage);
        TempFolder folder;
        if (c.content) Put(folder.File("f"), *c.content);
        EXPECT_EQ(ReadTextFile(Widen(folder.File("f"))), c.text);
    }
}

// --- Writing ----------------------------------------------------------------------------------

TEST(WriteFileBytes, CreatesTruncatesOrAppends) {
    struct Case {
        const char* desc;
        std::optional<std::string> before;
        std::string bytes;
        int64_t length;
        bool append;
        std::string after;
    };
    const Case cases[] = {
        {"creates a new file", std::nullopt, "new", 3, false, "new"},
        {"truncates a longer file", std::string("old content"), "new", 3, false, "new"},
        {"appends after the content", std::string("old "), "new", 3, true, "old new"},
        {"appending creates a missing file", std::nullopt, "new", 3, true, "new"},
        {"length 0 runs to the first zero", std::nullopt, std::string("ab\0cd", 6), 0, false, "ab"},
        {"a given length keeps zero bytes", std::nullopt, std::string("ab\0cd", 5), 5, false, std::string("ab\0cd", 5)},
        {"a given length may be shorter", std::nullopt, "abcdef", 2, false, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        TempFolder folder;
        const std::string path = folder.File("f");
        if (c.before) Put(path, *c.before);
        EXPECT_TRUE(WriteFileBytes(Bytes(c.bytes), c.length, Widen(path), c.append));
        EXPECT_EQ(Get(path), c.after);
    }
}

TEST(WriteFileBytes, FailsWhereNoFileCanBeOpened) {
    TempFolder folder;
    const std::string places[] = {folder.File("missing/f"), folder.Path(), ""};
    for (const std::string& place : places) {
        SCOPED_TRACE(place);
        EXPECT_FALSE(WriteFileBytes(Bytes("x"), 1, Widen(place), false));
        EXPECT_FALSE(WriteTextFile(u"x", Widen(place)));
        EXPECT_FALSE(ReplaceTextFile(u"x", Widen(place)));
    }
    EXPECT_EQ(folder.Names(), std::vector<std::string>()) << "nothing is left behind";
}

TEST(WriteTextFile, WritesTheAnsiBytesAndReadsBack) {
    struct Case {
        const char* codePage;
        std::string bytes;
    };
    const Case cases[] = {{"UTF-8", U8(u8"系统,启动")}, {"CP936", "\xCF\xB5\xCD\xB3,\xC6\xF4\xB6\xAF"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        ScopedCodePage page(c.codePage);
        TempFolder folder;
        const std::string path = folder.File("f");
        Put(path, "a longer old content");
        ASSERT_TRUE(WriteTextFile(u"系统,启动", Widen(path)));
        EXPECT_EQ(Get(path), c.bytes);
        EXPECT_EQ(ReadTextFile(Widen(path)), u"系统,启动");
    }
}

// --- Replacing --------------------------------------------------------------------------------

TEST(ReplaceFileBytes, ReplacesTheFileWholeAndLeavesNothingElse) {
    struct Case {
        const char* desc;
        std::optional<std::string> before;
        std::string bytes;
    };
    const Case cases[] = {
        {"no file before", std::nullopt, "first"},
        {"a longer file before", std::string(100000, 'o'), "short"},
        {"a shorter file before", std::string("short"), std::string(3 * kReplaceChunkBytes + 7, 'n')},
        {"an empty replacement", std::string("old"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        TempFolder folder;
        const std::string path = folder.File("recode.cx");
        if (c.before) Put(path, *c.before);
        ASSERT_TRUE(ReplaceFileBytes(Bytes(c.bytes), static_cast<int64_t>(c.bytes.size()), Widen(path)));
        EXPECT_EQ(Get(path), c.bytes);
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"recode.cx"});
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

TEST(ReplaceFileBytes, AFailedRenameLeavesTheTargetAndNoTemporaryFile) {
    TempFolder folder;
    // The target is a folder holding a file: the rename over it fails after the bytes are written.
    const std::string target = folder.File("recode.cx");
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    Put(target + "/inside", "kept");
    EXPECT_FALSE(ReplaceFileBytes(Bytes("new"), 3, Widen(target)));
    EXPECT_EQ(Get(target + "/inside"), "kept");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"recode.cx"});
}

namespace {

ReplaceStep g_killAt = ReplaceStep::Created;

void KillAtStep(ReplaceStep step) {
    if (step == g_killAt) ::raise(SIGKILL);
}

}  // namespace

TEST(ReplaceFileBytes, AProcessKilledBeforeTheRenameLeavesTheOldFileWhole) {
    const std::string oldBytes = "{\"Recode\":\"the previous record\"}";
    const std::string newBytes(2 * kReplaceChunkBytes + 100, 'n');  // several chunks, so one can be cut off
    const ReplaceStep steps[] = {ReplaceStep::Created, ReplaceStep::ChunkWritten, ReplaceStep::Written,
                                 ReplaceStep::Flushed};
    for (const ReplaceStep step : steps) {
        SCOPED_TRACE(static_cast<int>(step));
        TempFolder folder;
        const std::string path = folder.File("recode.cx");
        Put(path, oldBytes);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            g_killAt = step;
            SetReplaceHook(KillAtStep);
            ReplaceFileBytes(Bytes(newBytes), static_cast<int64_t>(newBytes.size()), Widen(path));
            ::_exit(3);  // the hook should have ended the process before this
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child was not killed at the step";
        EXPECT_EQ(Get(path), oldBytes);

        // The stray temporary file does not stand in the way of the next save.
        ASSERT_TRUE(ReplaceFileBytes(Bytes(newBytes), static_cast<int64_t>(newBytes.size()), Widen(path)));
        EXPECT_EQ(Get(path), newBytes);
    }
}
