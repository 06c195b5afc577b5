// Tests of usage reporting over several program starts in one process, against a loopback report endpoint.
#include "UsageReports.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Base64Text.h"
#include "CJson.h"
#include "FileHelpers.h"
#include "LoopbackHttpServer.h"
#include "RefusingPort.h"
#include "ScopedEnvironment.h"
#include "TempFolder.h"
#include "TextEncoding.h"

namespace {

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

const std::u16string kHeader = u"User-Agent1:0c2lkPTAwOjExOjIyOjMzOjQ0OjU1Jg==";
const std::string kHeaderLine = "User-Agent1:0c2lkPTAwOjExOjIyOjMzOjQ0OjU1Jg==";

std::string ExpectedRequest(const LoopbackHttpServer& server, const std::string& body) {
    return "POST /report/index HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
           "\r\nUser-Agent: http\r\nContent-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n" + kHeaderLine +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The body that posts this JSON text (as the record holds it) under field "p".
std::string BatchBody(const std::u16string& json) { return "p=0" + EncodeBase64(TextToUtf8(json)); }

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The elements of a JSON array text at its top level, each as written.
std::vector<std::u16string> TopLevelElements(const std::u16string& array) {
    std::vector<std::u16string> elements;
    int depth = 0;
    bool inString = false;
    size_t start = 1;
    for (size_t i = 0; i < array.size(); ++i) {
        const char16_t c = array[i];
        if (c == u'"' && (i == 0 || array[i - 1] != u'\\')) inString = !inString;
        if (inString) continue;
        if (c == u'[' || c == u'{') ++depth;
        if (c == u']' || c == u'}') --depth;
        if ((c == u',' && depth == 1) || (c == u']' && depth == 0)) {
            elements.push_back(array.substr(start, i - start));
            start = i + 1;
        }
    }
    return elements;
}

// One recorded event as the record holds it.
struct Event {
    std::u16string label;
    std::u16string time;
};
// Category -> action -> events, in the record's order.
struct Action {
    std::u16string name;
    std::vector<Event> events;
};
struct Group {
    std::u16string category;
    std::vector<Action> actions;
};

// The groups under a node that holds group nodes ("Recode", or a batch).
std::vector<Group> GroupsOf(CJson* holder) {
    std::vector<Group> groups;
    for (int g = 0; holder && g < holder->GetChildCount(); ++g) {
        CJson* node = holder->GetChild(g);
        Group group;
        CJson* category = node->FindChild(u"Category", u"");
        if (category) group.category = category->GetValue();
        CJson* actions = node->FindChild(u"Action", u"");
        for (int a = 0; actions && a < actions->GetChildCount(); ++a) {
            CJson* entry = actions->GetChild(a);
            Action action;
            if (CJson* name = entry->FindChild(u"ActName", u"")) action.name = name->GetValue();
            CJson* values = entry->FindChild(u"Value", u"");
            for (int e = 0; values && e < values->GetChildCount(); ++e) {
                CJson* event = values->GetChild(e);
                EXPECT_EQ(event->GetChildCount(), 3);
                if (event->GetChildCount() != 3) continue;
                EXPECT_EQ(event->GetChild(0)->GetKey(), u"Lable");
                EXPECT_EQ(event->GetChild(0)->GetValue(), u"");
                EXPECT_EQ(event->GetChild(1)->GetKey(), u"Value");
                EXPECT_EQ(event->GetChild(2)->GetKey(), u"CTime");
                action.events.push_back({event->GetChild(1)->GetValue(), event->GetChild(2)->GetValue()});
            }
            group.actions.push_back(action);
        }
        groups.push_back(group);
    }
    return groups;
}

std::u16string Summary(const std::vector<Group>& groups) {
    std::u16string s;
    for (const Group& g : groups) {
        s += g.category + u"{";
        for (const Action& a : g.actions) {
            s += a.name + u":";
            for (const Event& e : a.events) s += e.label + u";";
            s += u" ";
        }
        s += u"} ";
    }
    return s;
}

// A local time text of the record's format, read back as seconds since the epoch (-1 when the
// text is not of that format).
std::time_t ParseTime(const std::u16string& text) {
    const std::string ascii = TextToUtf8(text);
    std::tm tm{};
    const char* end = ::strptime(ascii.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    if (end == nullptr || *end != '\0' || ascii.size() != 19) return -1;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// Each test plays program starts in this process against its own record file.
class UsageReportsTest : public ::testing::Test {
protected:
    void TearDown() override {
        UnloadReports();
        SetReplaceHook(nullptr);
    }

    std::string RecordPath() const { return m_folder.File("recode.cx"); }
    std::u16string Record() const { return AnsiToText(ReadBytes(RecordPath())); }
    std::unique_ptr<CJson> RecordTree() const { return std::unique_ptr<CJson>(CJson::Parse(Record())); }
    void PutRecord(const std::u16string& text) const { ASSERT_TRUE(WriteTextFile(text, Widen(RecordPath()))); }

    // What the main window does at start-up, with the endpoint given.
    void StartProgram(const std::u16string& url) {
        LoadReports(Widen(RecordPath()));
        StartReporting(url, kHeader);
        AddReport(u"系统", u"启动", u"");
    }
    // The end of a run: the exit event, and the process is gone.
    void EndProgram() {
        AddReport(u"系统", u"退出", u"");
        UnloadReports();
    }
    // A first run with a few events of two categories; gives the record's "Recode" text.
    std::u16string FirstRun(const std::u16string& url) {
        StartProgram(url);
        AddReport(u"铃声", u"AddRingtone", u"TRUE");
        AddReport(u"铃声", u"AddRingtone", u"FALSE");
        AddReport(u"铃声", u"DelRingtone", u"TRUE");
        EndProgram();
        const std::u16string record = Record();
        const std::u16string head = u"{\"Recode\":";
        const std::u16string tail = u",\"Report\":\"\"}";
        EXPECT_EQ(record.substr(0, head.size()), head);
        EXPECT_EQ(record.substr(record.size() - tail.size()), tail);
        return record.substr(head.size(), record.size() - head.size() - tail.size());
    }

    TempFolder m_folder;
};

}  // namespace

// --- The record -------------------------------------------------------------------------------

TEST_F(UsageReportsTest, FirstStartRecordsTheStartEventAndMakesNoBatch) {
    LoopbackHttpServer server;
    const std::time_t before = std::time(nullptr);
    StartProgram(server.Url("/report/index"));
    const std::time_t after = std::time(nullptr);
    WaitForReportSender();
    EXPECT_TRUE(server.Requests().empty());

    const std::u16string record = Record();
    const std::u16string head =
        u"{\"Recode\":[{\"Category\":\"系统\",\"Action\":[{\"ActName\":\"启动\",\"Value\":[{\"Lable\":\"\",\"Value\":"
        u"\"\",\"CTime\":\"";
    const std::u16string tail = u"\"}]}]}],\"Report\":\"\"}";
    ASSERT_EQ(record.size(), head.size() + 19 + tail.size()) << TextToUtf8(record);
    EXPECT_EQ(record.substr(0, head.size()), head);
    EXPECT_EQ(record.substr(head.size() + 19), tail);
    const std::time_t recorded = ParseTime(record.substr(head.size(), 19));
    EXPECT_GE(recorded, before - 1);
    EXPECT_LE(recorded, after + 1);
}

TEST_F(UsageReportsTest, EventsGroupByCategoryThenActionInOrderOfFirstUse) {
    struct Call {
        std::u16string category, action, label;
    };
    struct Case {
        const char* desc;
        std::vector<Call> calls;
        std::u16string summary;
    };
    const Case cases[] = {
        {"same category and action: one group, one entry, two events",
         {{u"铃声", u"AddRingtone", u"TRUE"}, {u"铃声", u"AddRingtone", u"FALSE"}},
         u"铃声{AddRingtone:TRUE;FALSE; } "},
        {"two actions of one category", {{u"c", u"x", u"1"}, {u"c", u"y", u"2"}}, u"c{x:1; y:2; } "},
        {"interleaved categories keep the order of first use",
         {{u"A", u"x", u"1"}, {u"B", u"y", u"2"}, {u"A", u"x", u"3"}, {u"A", u"z", u"4"}},
         u"A{x:1;3; z:4; } B{y:2; } "},
        {"names compare case-sensitively",
         {{u"a", u"x", u"1"}, {u"A", u"x", u"2"}, {u"a", u"X", u"3"}},
         u"a{x:1; X:3; } A{x:2; } "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ::unlink(RecordPath().c_str());
        LoadReports(Widen(RecordPath()));
        for (const Call& call : c.calls) AddReport(call.category, call.action, call.label);
        UnloadReports();
        const std::unique_ptr<CJson> tree = RecordTree();
        const std::vector<Group> groups = GroupsOf(tree->FindChild(u"Recode", u""));
        EXPECT_EQ(TextToUtf8(Summary(groups)), TextToUtf8(c.summary));
        for (const Group& g : groups)
            for (const Action& a : g.actions)
                for (const Event& e : a.events) EXPECT_NE(ParseTime(e.time), -1) << TextToUtf8(e.time);
    }
}

TEST_F(UsageReportsTest, NothingIsRecordedBeforeTheRecordIsLoaded) {
    AddReport(u"系统", u"启动", u"");
    StartReporting(u"http://127.0.0.1:9/report/index", kHeader);
    SaveReports();
    EXPECT_EQ(m_folder.Names(), std::vector<std::string>());
}

TEST_F(UsageReportsTest, ARecordFileThatIsNotJsonStillLoadsAndKeepsEvents) {
    const std::u16string contents[] = {
        u"",
        u"plain words",
        u"{",
        u"}",
        u"[1,2",
        u"{\"Recode\":[",
        u"[\"a\",\"b\"]",
        u"{\"Other\":{\"x\":1}}",
        u"\u0001\u0002 binary",
    };
    for (const std::u16string& content : contents) {
        SCOPED_TRACE(TextToUtf8(content));
        PutRecord(content);
        // Two runs: the first starts from the damaged file, the second from what the first saved.
        for (int run = 1; run <= 2; ++run) {
            LoadReports(Widen(RecordPath()));
            AddReport(u"铃声", u"AddRingtone", u"TRUE");
            UnloadReports();
            const std::unique_ptr<CJson> tree = RecordTree();
            ASSERT_NE(tree->FindChild(u"Report", u""), nullptr);
            CJson* recode = tree->FindChild(u"Recode", u"");
            ASSERT_NE(recode, nullptr);
            CJson* action = recode->FindNode(u"ActName", u"AddRingtone");
            ASSERT_NE(action, nullptr) << TextToUtf8(Record());
            CJson* values = action->GetParent()->FindChild(u"Value", u"");
            ASSERT_NE(values, nullptr);
            EXPECT_EQ(values->GetChildCount(), run);
        }
    }
}

// --- Batches and their posting ----------------------------------------------------------------

TEST_F(UsageReportsTest, SecondStartPostsTheFirstRunsEventsAsOneBatchAndEmptiesReport) {
    LoopbackHttpServer server;
    const std::u16string firstRun = FirstRun(server.Url("/report/index"));
    EXPECT_TRUE(server.Requests().empty());

    StartProgram(server.Url("/report/index"));
    WaitForReportSender();
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    // The batch is an array of the first run's groups, exactly as they stood in "Recode".
    EXPECT_EQ(requests[0], ExpectedRequest(server, BatchBody(firstRun)));

    const std::unique_ptr<CJson> tree = RecordTree();
    ASSERT_EQ(tree->GetChildCount(), 2);
    EXPECT_EQ(tree->GetChild(0)->GetKey(), u"Recode");
    EXPECT_EQ(tree->GetChild(1)->GetKey(), u"Report");
    EXPECT_EQ(tree->GetChild(1)->GetChildCount(), 0);
    EXPECT_EQ(TextToUtf8(Summary(GroupsOf(tree->GetChild(0)))), TextToUtf8(u"系统{启动:; } "));
    EXPECT_EQ(Record().substr(Record().size() - 13), u",\"Report\":\"\"}");
}

TEST_F(UsageReportsTest, AnUnacknowledgedPostLeavesTheBatchUntilAStartThatIsAcknowledged) {
    using Answer = LoopbackHttpServer::Answer;
    struct Case {
        const char* desc;
        std::optional<Answer> answer;  // nullopt: nothing listens
        bool reachesServer;
    };
    const Case cases[] = {
        {"ResultCode 1", LoopbackHttpServer::JsonReply("{\"ResultCode\":1}"), true},
        {"ResultCode \"00\"", LoopbackHttpServer::JsonReply("{\"ResultCode\":\"00\"}"), true},
        {"no ResultCode", LoopbackHttpServer::JsonReply("{\"Result\":0}"), true},
        {"status 404", LoopbackHttpServer::Reply(404, "0" + EncodeBase64("{\"ResultCode\":0}")), true},
        {"not Base64", LoopbackHttpServer::Reply(200, "<html>busy</html>"), true},
        {"an answer over the size bound",
         LoopbackHttpServer::Reply(200, "0" + EncodeBase64("{\"ResultCode\":0}") + std::string(1 << 20, 'A')), true},
        {"an acknowledgement padded past 4 KiB",
         LoopbackHttpServer::Reply(200, "0" + EncodeBase64("{\"ResultCode\":0}" + std::string(3200, ' '))), true},
        {"a server that never answers", LoopbackHttpServer::Silent(), true},
        {"a refused connection", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ::unlink(RecordPath().c_str());
        ScopedEnvironment environment;
        environment.Set("RUVO_HTTP_TIMEOUT_MS", "300");
        LoopbackHttpServer server;
        RefusingPort refusing;
        const std::u16string url = c.answer ? server.Url("/report/index") : refusing.Url();
        const std::u16string firstRun = FirstRun(url);

        // Second start: the batch is made and posted, and not acknowledged.
        if (c.answer) server.SetDefaultAnswer(*c.answer);
        StartProgram(url);
        WaitForReportSender();
        EXPECT_EQ(server.Requests().size(), c.reachesServer ? 1u : 0u);
        const std::u16string waiting = u",\"Report\":[" + firstRun + u"]}";
        std::u16string record = Record();
        ASSERT_GE(record.size(), waiting.size());
        EXPECT_EQ(record.substr(record.size() - waiting.size()), waiting) << "the batch waits in the file";
        EndProgram();

        // Third start: no new batch while one waits; the batch read back from the file is
        // flattened, so each of its groups is posted on its own, as an object.
        server.SetDefaultAnswer(LoopbackHttpServer::JsonReply("{\"ResultCode\":0}"));
        const size_t before = server.Requests().size();
        StartProgram(server.Url("/report/index"));
        WaitForReportSender();
        const std::vector<std::string> requests = server.Requests();
        const std::vector<std::u16string> groups = TopLevelElements(firstRun);
        ASSERT_EQ(groups.size(), 2u);
        ASSERT_EQ(requests.size(), before + groups.size());
        for (size_t i = 0; i < groups.size(); ++i)
            EXPECT_EQ(requests[before + i], ExpectedRequest(server, BatchBody(groups[i])));

        // Acknowledged: "Report" is empty (and written so: a fourth start makes a batch again);
        // the second and third runs' events wait in "Recode".
        record = Record();
        EXPECT_EQ(record.substr(record.size() - 13), u",\"Report\":\"\"}");
        const std::unique_ptr<CJson> tree = RecordTree();
        ASSERT_NE(tree->FindChild(u"Report", u""), nullptr);
        EXPECT_EQ(tree->FindChild(u"Report", u"")->GetChildCount(), 0) << TextToUtf8(Record());
        EXPECT_EQ(TextToUtf8(Summary(GroupsOf(tree->FindChild(u"Recode", u"")))),
                  TextToUtf8(u"系统{启动:;; 退出:; } "));
        UnloadReports();

        // Fourth start: those events become the next batch, posted whole.
        const std::u16string head = u"{\"Recode\":";
        const std::u16string waitingEvents = record.substr(head.size(), record.size() - head.size() - 13);
        StartProgram(server.Url("/report/index"));
        WaitForReportSender();
        ASSERT_EQ(server.Requests().size(), requests.size() + 1);
        EXPECT_EQ(server.Requests().back(), ExpectedRequest(server, BatchBody(waitingEvents)));
        UnloadReports();
    }
}

TEST_F(UsageReportsTest, ABatchWithoutEventsIsSkippedAndStays) {
    const std::u16string group =
        u"{\"Category\":\"铃声\",\"Action\":[{\"ActName\":\"AddRingtone\",\"Value\":[{\"Lable\":\"\",\"Value\":"
        u"\"TRUE\",\"CTime\":\"2015-01-02 03:04:05\"}]}]}";
    struct Case {
        const char* desc;
        std::u16string report;               // the "Report" member's text in the record file
        std::vector<std::u16string> posted;  // the JSON texts posted, in order
    };
    const Case cases[] = {
        {"only an empty batch", u"[\"\"]", {}},
        {"an empty batch before a group", u"[\"\"," + group + u"]", {group}},
        {"an empty batch after a group", u"[" + group + u",\"\"]", {group}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        LoopbackHttpServer server;
        PutRecord(u"{\"Recode\":\"\",\"Report\":" + c.report + u"}");
        LoadReports(Widen(RecordPath()));
        StartReporting(server.Url("/report/index"), kHeader);
        WaitForReportSender();
        UnloadReports();
        const std::vector<std::string> requests = server.Requests();
        ASSERT_EQ(requests.size(), c.posted.size());
        for (size_t i = 0; i < c.posted.size(); ++i)
            EXPECT_EQ(requests[i], ExpectedRequest(server, BatchBody(c.posted[i])));

        // The empty batch stays, alone, and no batch was made of the (empty) "Recode".
        const std::unique_ptr<CJson> tree = RecordTree();
        CJson* report = tree->FindChild(u"Report", u"");
        ASSERT_NE(report, nullptr) << TextToUtf8(Record());
        ASSERT_EQ(report->GetChildCount(), 1) << TextToUtf8(Record());
        EXPECT_EQ(report->GetChild(0)->GetChildCount(), 0);
    }
}

// --- The endpoint from the environment --------------------------------------------------------

TEST(ReportEndpoint, TheUrlComesWholeFromTheEnvironmentUnlessReportingIsOff) {
    struct Case {
        const char* desc;
        std::optional<std::string> url;
        std::optional<std::string> off;
        std::u16string result;
    };
    const Case cases[] = {
        {"nothing set", std::nullopt, std::nullopt, u""},
        {"a URL", std::string("http://127.0.0.1:8080/report/index"), std::nullopt,
         u"http://127.0.0.1:8080/report/index"},
        {"a URL with reporting off", std::string("http://127.0.0.1:8080/report/index"), std::string("1"), u""},
        {"RUVO_NO_REPORT other than 1 leaves reporting on", std::string("http://h/report/index"), std::string("0"),
         u"http://h/report/index"},
        {"reporting off without a URL", std::nullopt, std::string("1"), u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ScopedEnvironment environment;
        environment.Set("RUVO_REPORT_URL", c.url);
        environment.Set("RUVO_NO_REPORT", c.off);
        EXPECT_EQ(ReportUrlFromEnvironment(), c.result);
    }
}

TEST(ReportEndpoint, TheRecordFileLivesInTheDocumentsFolder) {
    EXPECT_EQ(RecordFilePath(u"/home/user/Documents"), u"/home/user/Documents/recode.cx");
    EXPECT_EQ(RecordFilePath(u"/home/user/文档/"), u"/home/user/文档/recode.cx");
    EXPECT_EQ(RecordFilePath(u""), u"");
}

TEST_F(UsageReportsTest, WithoutAnEndpointEventsAreBatchedAndWaitInTheFile) {
    LoopbackHttpServer server;
    struct Case {
        const char* desc;
        std::optional<std::string> url;
        std::optional<std::string> off;
        bool posts;
    };
    const std::string url = TextToUtf8(server.Url("/report/index"));
    const Case cases[] = {
        {"no RUVO_REPORT_URL", std::nullopt, std::nullopt, false},
        {"RUVO_NO_REPORT=1", url, std::string("1"), false},
        {"RUVO_REPORT_URL set", url, std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ::unlink(RecordPath().c_str());
        const size_t before = server.Requests().size();
        ScopedEnvironment environment;
        environment.Set("RUVO_REPORT_URL", c.url);
        environment.Set("RUVO_NO_REPORT", c.off);
        int asked = 0;
        const HostDescriptionSource describeHost = [&asked] {
            ++asked;
            return kHeader;
        };
        for (int start = 1; start <= 3; ++start) {
            StartUsageReporting(Widen(m_folder.Path()), describeHost);
            AddReport(u"系统", u"启动", u"");
            WaitForReportSender();
            UnloadReports();
        }
        const std::unique_ptr<CJson> tree = RecordTree();
        CJson* report = tree->FindChild(u"Report", u"");
        ASSERT_NE(report, nullptr);
        if (c.posts) {
            // Starts 2 and 3 each post the previous start's event, with the host description.
            EXPECT_EQ(asked, 3);
            const std::vector<std::string> requests = server.Requests();
            ASSERT_EQ(requests.size(), before + 2);
            for (size_t i = before; i < requests.size(); ++i)
                EXPECT_NE(requests[i].find("\r\n" + kHeaderLine + "\r\n"), std::string::npos);
            EXPECT_EQ(report->GetChildCount(), 0);
        } else {
            // The host is never described; the second start's batch waits (read back, its one
            // group stands directly under "Report"), and the third start makes no second batch.
            EXPECT_EQ(asked, 0);
            EXPECT_EQ(server.Requests().size(), before);
            ASSERT_EQ(report->GetChildCount(), 1);
            EXPECT_EQ(TextToUtf8(Summary(GroupsOf(report))), TextToUtf8(u"系统{启动:; } "));
            EXPECT_EQ(TextToUtf8(Summary(GroupsOf(tree->FindChild(u"Recode", u"")))), TextToUtf8(u"系统{启动:;; } "));
        }
    }
}

// --- Saves that are cut short -----------------------------------------------------------------

namespace {

ReplaceStep g_killAt = ReplaceStep::Created;

void KillAtStep(ReplaceStep step) {
    if (step == g_killAt) ::raise(SIGKILL);
}

// A record of many events in the writer's own format, larger than one write chunk.
std::u16string LargeRecord(int events) {
    std::u16string values;
    for (int i = 0; i < events; ++i) {
        if (i > 0) values += u",";
        values += u"{\"Lable\":\"\",\"Value\":\"TRUE\",\"CTime\":\"2015-01-02 03:04:05\"}";
    }
    return u"{\"Recode\":[{\"Category\":\"铃声\",\"Action\":[{\"ActName\":\"AddRingtone\",\"Value\":[" + values +
           u"]}]}],\"Report\":\"\"}";
}

}  // namespace

TEST_F(UsageReportsTest, ASaveKilledAtAnyStepLeavesThePreviousRecordWhole) {
    const int kEvents = 2000;
    const std::u16string large = LargeRecord(kEvents);
    ASSERT_GT(static_cast<int64_t>(TextToAnsi(large).size()), kReplaceChunkBytes);
    const ReplaceStep steps[] = {ReplaceStep::Created, ReplaceStep::ChunkWritten, ReplaceStep::Written,
                                 ReplaceStep::Flushed};
    for (const ReplaceStep step : steps) {
        SCOPED_TRACE(static_cast<int>(step));
        PutRecord(large);
        const std::string previous = ReadBytes(RecordPath());
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // A program start that records one event and dies while saving it.
            g_killAt = step;
            SetReplaceHook(KillAtStep);
            LoadReports(Widen(RecordPath()));
            AddReport(u"铃声", u"AddRingtone", u"FALSE");
            SaveReports();
            ::_exit(3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child was not killed at the step";
        EXPECT_TRUE(ReadBytes(RecordPath()) == previous) << "the previous record must stay byte for byte";

        // The next start reads the whole previous record and saves over the stray temporary file.
        LoadReports(Widen(RecordPath()));
        AddReport(u"铃声", u"AddRingtone", u"FALSE");
        UnloadReports();
        const std::unique_ptr<CJson> tree = RecordTree();
        CJson* action = tree->FindNode(u"ActName", u"AddRingtone");
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->GetParent()->FindChild(u"Value", u"")->GetChildCount(), kEvents + 1);
    }
}

TEST_F(UsageReportsTest, AHalfWrittenTemporaryFileBesideTheRecordIsIgnored) {
    PutRecord(LargeRecord(3));
    // What a save cut short by a power failure leaves: a temporary file with the start of a record.
    const std::u16string half = LargeRecord(50).substr(0, 700);
    ASSERT_TRUE(WriteTextFile(half, Widen(RecordPath() + ".tmp-Ab12Cd")));
    LoadReports(Widen(RecordPath()));
    AddReport(u"铃声", u"AddRingtone", u"FALSE");
    UnloadReports();
    const std::unique_ptr<CJson> tree = RecordTree();
    CJson* action = tree->FindNode(u"ActName", u"AddRingtone");
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->GetParent()->FindChild(u"Value", u"")->GetChildCount(), 4);
}

// --- Threads ----------------------------------------------------------------------------------

TEST_F(UsageReportsTest, EventsFromSeveralThreadsWhileSavingAndSendingAreAllKept) {
    LoopbackHttpServer server;
    const std::u16string firstRun = FirstRun(server.Url("/report/index"));

    // Second start: the sender posts the batch while four threads record events and another
    // saves over and over.
    const int kThreads = 4;
    const int kEventsEach = 60;
    StartProgram(server.Url("/report/index"));
    std::atomic<int> writersLeft{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &writersLeft] {
            const std::u16string action = u"T" + Widen(std::to_string(t));
            for (int i = 0; i < kEventsEach; ++i) AddReport(u"并发", action, Widen(std::to_string(i)));
            --writersLeft;
        });
    }
    threads.emplace_back([&writersLeft] {
        while (writersLeft.load() > 0) SaveReports();
    });
    for (std::thread& t : threads) t.join();
    WaitForReportSender();
    UnloadReports();

    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], ExpectedRequest(server, BatchBody(firstRun)));

    const std::unique_ptr<CJson> tree = RecordTree();
    EXPECT_EQ(tree->FindChild(u"Report", u"")->GetChildCount(), 0);
    const std::vector<Group> groups = GroupsOf(tree->FindChild(u"Recode", u""));
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].category, u"并发");
    ASSERT_EQ(groups[1].actions.size(), static_cast<size_t>(kThreads));
    for (const Action& action : groups[1].actions) {
        SCOPED_TRACE(TextToUtf8(action.name));
        ASSERT_EQ(action.events.size(), static_cast<size_t>(kEventsEach));
        for (int i = 0; i < kEventsEach; ++i) EXPECT_EQ(action.events[i].label, Widen(std::to_string(i)));
    }
}
