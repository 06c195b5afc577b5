// The usage record across program starts: texts from outside recorded as text, the bound on its size, the
// files it refuses to read, and the save at the end of the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CJson.h"
#include "FileHelpers.h"
#include "TempFolder.h"
#include "TextEncoding.h"
#include "UsageReports.h"

namespace {

namespace fs = std::filesystem;

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The labels of the events of one category and action anywhere under the node (the record,
// "Recode" or "Report"), in the record's order.
void CollectLabels(CJson* node, const std::u16string& category, const std::u16string& action,
                   std::vector<std::u16string>& labels) {
    if (node == nullptr) return;
    CJson* name = node->FindChild(u"Category", u"");
    CJson* actions = node->FindChild(u"Action", u"");
    if (name && actions && !name->GetKey().empty()) {
        if (name->GetValue() != category) return;
        for (int a = 0; a < actions->GetChildCount(); ++a) {
            CJson* entry = actions->GetChild(a);
            CJson* actName = entry->FindChild(u"ActName", u"");
            CJson* values = entry->FindChild(u"Value", u"");
            if (!actName || actName->GetValue() != action || !values) continue;
            for (int e = 0; e < values->GetChildCount(); ++e)
                if (CJson* value = values->GetChild(e)->FindChild(u"Value", u"")) labels.push_back(value->GetValue());
        }
        return;
    }
    for (int i = 0; i < node->GetChildCount(); ++i) CollectLabels(node->GetChild(i), category, action, labels);
}
std::vector<std::u16string> Labels(CJson* node, const std::u16string& category, const std::u16string& action) {
    std::vector<std::u16string> labels;
    CollectLabels(node, category, action, labels);
    return labels;
}

// "n" and the number, padded so that labels sort as their numbers do.
std::u16string Numbered(int i) {
    std::string digits = std::to_string(i);
    digits.insert(0, 7 - std::min<size_t>(7, digits.size()), '0');
    return u"n" + Widen(digits);
}

// Program starts played in this process against a record file of the test's own.
class UsageRecord : public ::testing::Test {
protected:
    void TearDown() override {
        UnloadReports();
        SetReplaceHook(nullptr);
    }
    std::string RecordPath() const { return m_folder.File("recode.cx"); }
    // One program start without an endpoint: the waiting batch (if any) stays, new events go to "Recode".
    void Start() {
        LoadReports(Widen(RecordPath()));
        StartReporting(u"", u"");
    }
    // The end of a program start, as an orderly end saves it.
    void End() { UnloadReports(); }
    std::unique_ptr<CJson> RecordTree() const {
        return std::unique_ptr<CJson>(CJson::Parse(AnsiToText(ReadBytes(RecordPath()))));
    }
    // Names in the folder other than the record (a temporary file left behind shows here).
    std::vector<std::string> StrayNames() const {
        std::vector<std::string> names;
        for (const std::string& name : m_folder.Names())
            if (name != "recode.cx") names.push_back(name);
        return names;
    }

    TempFolder m_folder;
};

// Titles and device names reach the record's labels. The writer does not escape, so quotes and
// backslashes must not reach the file as such: a title like a\":\"b would otherwise be read back
// as structure, and one with closing brackets would lose every earlier event.
TEST_F(UsageRecord, TextsThatLookLikeJsonStayTextAcrossRestarts) {
    struct Case {
        const char* desc;
        std::u16string label;
        std::u16string recorded;  // what the record holds and reads back
    };
    const Case cases[] = {
        {"quote colon quote", u"a\\\":\\\"b", u"a/':/'b"},
        {"bare quotes", u"a\":\"b", u"a':'b"},
        {"closing brackets", u"x\"}]}],\"Report\":\"\"}", u"x'}]}],'Report':''}"},
        {"opening brackets", u"[{\"PID\":[1,2]}]", u"[{'PID':[1,2]}]"},
        {"a lone backslash at the end", u"tail\\", u"tail/"},
        {"control characters", u"a\nb\tc\x01\x1b[2J\x7f", u"a b c  [2J "},
        {"Chinese and brackets", u"铃声 [1] {2}", u"铃声 [1] {2}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        Start();
        AddReport(u"铃声", u"AddRingtone", u"before");
        AddReport(u"铃声", u"AddRingtone", c.label);
        AddReport(u"铃声", u"AddRingtone", u"after");
        End();
        // Read back by the next start, and again by the one after that, which saves it once more.
        for (int restart = 0; restart < 2; ++restart) {
            Start();
            End();
            const std::unique_ptr<CJson> tree = RecordTree();
            ASSERT_NE(tree->FindChild(u"Report", u""), nullptr) << TextToUtf8(AnsiToText(ReadBytes(RecordPath())));
            const std::vector<std::u16string> labels = Labels(tree.get(), u"铃声", u"AddRingtone");
            ASSERT_GE(labels.size(), 3u) << TextToUtf8(AnsiToText(ReadBytes(RecordPath())));
            const std::vector<std::u16string> last(labels.end() - 3, labels.end());
            EXPECT_EQ(last, (std::vector<std::u16string>{u"before", c.recorded, u"after"}))
                << TextToUtf8(AnsiToText(ReadBytes(RecordPath())));
        }
        fs::remove(RecordPath());
    }
}

// A huge label is cut, so one event cannot take the record's whole bound.
TEST_F(UsageRecord, HugeTextsAreCut) {
    Start();
    AddReport(u"铃声", u"AddRingtone", std::u16string(100000, u'x'));
    End();
    const std::unique_ptr<CJson> tree = RecordTree();
    const std::vector<std::u16string> labels = Labels(tree.get(), u"铃声", u"AddRingtone");
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0], std::u16string(kMaxReportTextLength, u'x'));
}

// With no endpoint the waiting batch never leaves: events keep coming (an app polling for days),
// and the record keeps the newest of them within its bound, across restarts.
TEST_F(UsageRecord, KeepsItsNewestEventsWithinTheBoundAcrossRestarts) {
    const std::u16string padding(100, u'p');
    int next = 0;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        Start();
        for (int i = 0; i < 15000; ++i) AddReport(u"铃声", u"GetList", Numbered(next++) + padding);
        End();
        const std::string bytes = ReadBytes(RecordPath());
        EXPECT_LE(bytes.size(), 2 * kMaxRecodeBytes);
        const std::unique_ptr<CJson> tree = RecordTree();
        // This run's events: thousands kept, the newest last, in an unbroken run up to it.
        const std::vector<std::u16string> labels = Labels(tree->FindChild(u"Recode", u""), u"铃声", u"GetList");
        ASSERT_GT(labels.size(), 1000u);
        const int first = next - static_cast<int>(labels.size());
        for (size_t i = 0; i < labels.size(); ++i)
            ASSERT_EQ(labels[i], Numbered(first + static_cast<int>(i)) + padding) << i;
        // The earlier run's kept events became the batch that waits, its newest event last.
        const std::vector<std::u16string> waiting = Labels(tree->FindChild(u"Report", u""), u"铃声", u"GetList");
        if (run == 0) {
            EXPECT_TRUE(waiting.empty());
        } else {
            ASSERT_FALSE(waiting.empty());
            EXPECT_EQ(waiting.back(), Numbered(15000 * run - 1) + padding);
        }
    }
}

// A record file written large (by a run that kept everything) is cut to its newest events when it
// is read, and the next save writes it within the bound. Its waiting batch is bounded as well.
TEST_F(UsageRecord, ALargeRecordIsCutToItsNewestEventsWhenRead) {
    const auto events = [](int from, int to, const char* time) {
        std::u16string text;
        for (int i = from; i < to; ++i) {
            if (!text.empty()) text += u",";
            text += u"{\"Lable\":\"\",\"Value\":\"" + Numbered(i) + u"\",\"CTime\":\"" + Widen(time) + u"\"}";
        }
        return text;
    };
    const auto group = [](const std::u16string& values) {
        return u"{\"Category\":\"铃声\",\"Action\":[{\"ActName\":\"GetList\",\"Value\":[" + values + u"]}]}";
    };
    // 60000 events in "Recode" (older ones first by time), 60000 in the waiting batch.
    const std::u16string record =
        u"{\"Recode\":[" +
        group(events(0, 30000, "2020-01-01 00:00:00") + u"," + events(30000, 60000, "2020-01-02 00:00:00")) +
        u"],\"Report\":[[" + group(events(100000, 130000, "2019-01-01 00:00:00")) + u"," +
        group(events(130000, 160000, "2019-01-02 00:00:00")) + u"]]}";
    ASSERT_TRUE(WriteTextFile(record, Widen(RecordPath())));
    ASSERT_GT(fs::file_size(RecordPath()), 4 * kMaxRecodeBytes);
    Start();
    End();
    EXPECT_LE(fs::file_size(RecordPath()), 2 * kMaxRecodeBytes + 4096);
    const std::unique_ptr<CJson> tree = RecordTree();
    const std::vector<std::u16string> labels = Labels(tree->FindChild(u"Recode", u""), u"铃声", u"GetList");
    ASSERT_GT(labels.size(), 1000u);
    EXPECT_EQ(labels.back(), Numbered(59999));
    const int first = 60000 - static_cast<int>(labels.size());
    for (size_t i = 0; i < labels.size(); ++i) ASSERT_EQ(labels[i], Numbered(first + static_cast<int>(i))) << i;
    // The batch is still there, holding its newest events.
    CJson* report = tree->FindChild(u"Report", u"");
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->GetChildCount(), 1);
    const std::vector<std::u16string> waiting = Labels(report, u"铃声", u"GetList");
    ASSERT_GT(waiting.size(), 1000u);
    const int firstWaiting = 160000 - static_cast<int>(waiting.size());
    for (size_t i = 0; i < waiting.size(); ++i)
        ASSERT_EQ(waiting[i], Numbered(firstWaiting + static_cast<int>(i))) << i;
}

// Only a regular file is read: a FIFO would keep the start waiting, a link would lead elsewhere.
// What is there instead is neither waited for, nor followed, nor replaced; the run records in
// memory only.
TEST_F(UsageRecord, ARecordFileThatIsNoRegularFileIsLeftAlone) {
    const std::string elsewhere = m_folder.File("elsewhere.cx");
    const std::string foreign = "{\"Recode\":\"\",\"Report\":\"\",\"Mine\":\"1\"}";
    struct Case {
        const char* desc;
        std::function<void(const std::string&)> make;
    };
    const Case cases[] = {
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
        {"a link to a record",
         [&](const std::string& path) {
             std::ofstream(elsewhere) << foreign;
             fs::create_symlink(elsewhere, path);
         }},
        {"a dangling link", [&](const std::string& path) { fs::create_symlink(m_folder.File("nowhere"), path); }},
        {"a folder", [](const std::string& path) { fs::create_directory(path); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        c.make(RecordPath());
        const fs::file_status before = fs::symlink_status(RecordPath());
        std::atomic<bool> loaded{false};
        std::thread start([&] {
            Start();
            loaded = true;
        });
        // A start that waits on the FIFO would never come back: the test ends it by opening the
        // FIFO's other side, and fails.
        for (int i = 0; i < 500 && !loaded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!loaded) {
            ADD_FAILURE() << "the start waits on the record file";
            const int unblock = ::open(RecordPath().c_str(), O_WRONLY | O_NONBLOCK);
            if (unblock >= 0) ::close(unblock);
        }
        start.join();
        AddReport(u"铃声", u"AddRingtone", u"kept in memory");
        SaveReports();
        EXPECT_TRUE(EndReportingForExit(std::chrono::milliseconds(500), u"系统", u"退出", u"") == false);
        End();
        EXPECT_EQ(fs::symlink_status(RecordPath()).type(), before.type());
        if (fs::exists(elsewhere)) {
            EXPECT_EQ(ReadBytes(elsewhere), foreign);
        }
        EXPECT_EQ(StrayNames().size(), fs::exists(elsewhere) ? 1u : 0u);
        fs::remove_all(RecordPath());
    }
}

// The end of the process: the exit event is recorded and the record written within the bound.
TEST_F(UsageRecord, EndReportingForExitWritesTheExitEvent) {
    Start();
    AddReport(u"铃声", u"AddRingtone", u"TRUE");
    EXPECT_TRUE(EndReportingForExit(std::chrono::milliseconds(1500), u"系统", u"退出", u""));
    // Nothing is saved after it: the process is ending.
    AddReport(u"铃声", u"AddRingtone", u"after the end");
    SaveReports();
    const std::unique_ptr<CJson> tree = RecordTree();
    EXPECT_EQ(Labels(tree.get(), u"铃声", u"AddRingtone"), std::vector<std::u16string>{u"TRUE"});
    EXPECT_EQ(Labels(tree.get(), u"系统", u"退出"), std::vector<std::u16string>{u""});
    EXPECT_TRUE(StrayNames().empty());
}

// A save that the disk holds up when the process ends: the end waits no longer than its bound,
// the previous record stays whole and the temporary file is removed.
std::atomic<bool> g_holdSave{false};
std::atomic<bool> g_saveHeld{false};

void HoldAtChunk(ReplaceStep step) {
    if (step != ReplaceStep::ChunkWritten || !g_holdSave) return;
    g_saveHeld = true;
    while (g_holdSave) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST_F(UsageRecord, AnEndDuringAHeldSaveLeavesThePreviousRecordAndNoTemporaryFile) {
    Start();
    // More than one write chunk, so that the save can be held halfway.
    for (int i = 0; i < 2000; ++i) AddReport(u"铃声", u"GetList", Numbered(i));
    End();

    Start();
    // The start makes the waiting events into a batch and saves that; it must be on disk before
    // the save to be held begins, or the two would race.
    SaveReports();
    const std::string previous = ReadBytes(RecordPath());
    ASSERT_GT(previous.size(), static_cast<size_t>(kReplaceChunkBytes));
    g_holdSave = true;
    SetReplaceHook(HoldAtChunk);
    AddReport(u"铃声", u"GetList", u"held");
    for (int i = 0; i < 500 && !g_saveHeld; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(g_saveHeld);
    ASSERT_EQ(StrayNames().size(), 1u) << "the held save's temporary file";

    // Held for good, the save would keep an end that waited for it from ever coming back.
    EXPECT_FALSE(EndReportingForExit(std::chrono::milliseconds(300), u"系统", u"退出", u""));
    // What std::_Exit would leave now.
    EXPECT_TRUE(ReadBytes(RecordPath()) == previous);
    EXPECT_TRUE(StrayNames().empty());
    g_holdSave = false;
    End();
    // The held save, let go, did not finish after the end either.
    EXPECT_TRUE(ReadBytes(RecordPath()) == previous);
    EXPECT_TRUE(StrayNames().empty());
}

}  // namespace
