// Black-box tests of the assistant: ruvo runs as its own process on a virtual phone, and the test plays the
// companion app through the heartbeat, request and response files in the app's container.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <set>

#include "AssistantProcess.h"

namespace assistant_test {
namespace {

using namespace std::string_literals;

class Assistant : public AssistantFixture {};

std::string Answer(const std::string& sign, const std::string& command, int code, const std::string& message) {
    return "[{\"Sign\":" + sign + ",\"Command\":\"" + command + "\",\"Code\":" + std::to_string(code) +
           ",\"Message\":\"" + message + "\"}]";
}

// The persistent ids of the phone's ringtones, as ruvo-phone lists them (first column).
std::vector<std::string> PhoneRingtoneIds(const std::string& listing) {
    std::vector<std::string> ids;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) ids.push_back(line.substr(0, line.find('\t')));
    return ids;
}

TEST_F(Assistant, ShowsItsStateHeartbeatsAndRecordsStartAndExit) {
    // A request left by the app before any answer, with the placeholder's Sign, is no request.
    Phone("init " + Quote(m_phone.string()));
    Request(R"([{"Sign":"none","Command":"foo"}])");
    Start();

    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    const long first = Heartbeat();
    ASSERT_TRUE(LetCyclesPass(3));
    EXPECT_GT(Heartbeat(), first);
    EXPECT_FALSE(Response().has_value());

    EXPECT_EQ(Stop(SIGTERM), 0);
    const std::vector<std::string> expected = {"panel: waiting", "status: 连接状态：等待设备接入", "panel: connected",
                                               "status: 连接状态：Ruvo Virtual iPhone"};
    EXPECT_EQ(ChangeLines(), expected);
    EXPECT_EQ(ReadFile(m_root / "stdout"), "");

    const std::string record = ReadFile(m_root / "home" / "Documents" / "recode.cx").value_or("");
    EXPECT_NE(record.find(R"("Category":"系统")"), std::string::npos) << record;
    EXPECT_NE(record.find(R"("ActName":"启动")"), std::string::npos) << record;
    EXPECT_NE(record.find(R"("ActName":"退出")"), std::string::npos) << record;
}

// With a legacy ANSI code page the change lines and the response are UTF-8 all the same, and a
// request in that code page is read as such.
TEST_F(Assistant, LegacyCodePage) {
    m_environment = {{"RUVO_ANSI_CODEPAGE", "CP936"}};
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    // "中" in CP936; not shaped like UTF-8.
    Request("[{\"Sign\":\"\xD6\xD0\",\"Command\":\"foo\"}]");
    EXPECT_TRUE(AnswerIs(Answer("\"中\"", "foo", -1, "未知指令")));
    EXPECT_EQ(Stop(), 0);
    const std::vector<std::string> expected = {"panel: waiting", "status: 连接状态：等待设备接入", "panel: connected",
                                               "status: 连接状态：Ruvo Virtual iPhone"};
    EXPECT_EQ(ChangeLines(), expected);
}

// Requests answered by the poll cycle itself, without a command thread.
TEST_F(Assistant, AnswersBadRequestsAtOnce) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    WriteFile(Documents() / "empty.m4r", "");

    struct Case {
        const char* request;
        std::string answer;
    };
    const Case cases[] = {
        {R"([{"Sign":"a1","Command":"foo"}])", Answer("\"a1\"", "foo", -1, "未知指令")},
        {R"([{"Sign":"a2"}])", Answer("\"a2\"", "", -1, "未知指令")},
        {R"([{"Sign":3,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"Bell"}]}])",
         Answer("3", "addring", -1, "参数不正确")},
        {R"([{"Sign":4,"Command":"addring"}])", Answer("4", "addring", -1, "参数不正确")},
        {R"([{"Sign":5,"Command":"delring","Parms":[{"pid":["1"]}]}])", Answer("5", "delring", -1, "参数不正确")},
        {R"([{"Sign":6,"Command":"delring"}])", Answer("6", "delring", -1, "参数不正确")},
        {R"([{"Sign":7,"Command":"addring","Parms":[{"filepatch":"/Documents/empty.m4r","storename":"B","timems":3}]}])",
         Answer("7", "addring", -1, "铃音文件不存在")},
        {R"([{"Sign":8,"Command":"addring","Parms":[{"filepatch":"/Documents/none.m4r","storename":"B","timems":3}]}])",
         Answer("8", "addring", -1, "铃音文件不存在")},
    };
    for (const Case& c : cases) {
        Request(c.request);
        EXPECT_TRUE(AnswerIs(c.answer)) << c.request;
    }
    EXPECT_EQ(Stop(), 0);
    // None of them ran a command.
    EXPECT_FALSE(StderrHasLine("busy: on")) << Stderr();
}

TEST_F(Assistant, IgnoresWhatIsNoNewRequest) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();

    Request(R"([{"Sign":"s1","Command":"foo"}])");
    ASSERT_TRUE(AnswerIs(Answer("\"s1\"", "foo", -1, "未知指令")));

    // Left in place, the same request is read again and answered no more; nor is a bare object,
    // a text that fails the bracket check, or an object without a Sign.
    const char* ignored[] = {nullptr, R"({"Sign":1001,"Command":"addring"})", R"([{"Sign":"s2","Command":"foo")",
                             R"([{"Command":"foo"}])"};
    for (const char* request : ignored) {
        if (request) Request(request);
        std::filesystem::remove(LinkFolder() / "Respone");
        ASSERT_TRUE(LetCyclesPass(3));
        EXPECT_FALSE(Response().has_value()) << (request ? request : "the same request");
    }
    EXPECT_EQ(Stop(), 0);
}

TEST_F(Assistant, AnswerToSignMinusOneIsWrittenAgainInEveryIdleCycle) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    Request(R"([{"Sign":-1,"Command":"foo"}])");
    const std::string answer = Answer("-1", "foo", -1, "未知指令");
    ASSERT_TRUE(AnswerIs(answer));
    for (int i = 0; i < 2; ++i) {
        std::filesystem::remove(LinkFolder() / "Respone");
        EXPECT_TRUE(AnswerIs(answer));
    }
    EXPECT_EQ(Stop(), 0);
}

// getring, addring and delring through to the phone's catalogue, with the reports they record.
TEST_F(Assistant, ListsAddsAndDeletesRingtones) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();

    Request(R"([{"Sign":1,"Command":"getring"}])");
    EXPECT_TRUE(AnswerIs(R"([{"Sign":1,"Command":"getring","Code":1,"Message":"处理成功","Data":[""]}])"));

    std::string audio(70000, '\0');
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>((i * 7919) >> 3);
    WriteFile(Documents() / "r.m4r", audio);
    // The duration is the leading digits of "timems"; the report keeps the whole text.
    Request(
        R"([{"Sign":2,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"铃声 Bell","timems":"30abc"}]}])");
    ASSERT_TRUE(AnswerIs(Answer("2", "addring", 1, "处理成功")));
    Request(
        R"([{"Sign":3,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"Two","timems":5}]}])");
    ASSERT_TRUE(AnswerIs(Answer("3", "addring", 1, "处理成功")));

    const std::string listing = Phone("ringtones " + Quote(m_phone.string()));
    const std::vector<std::string> ids = PhoneRingtoneIds(listing);
    ASSERT_EQ(ids.size(), 2u) << listing;
    std::set<std::string> titles;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream columns(line);
        for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 4u) << line;
        titles.insert(fields[1] + "/" + fields[3]);
        // The phone holds exactly the app's file.
        EXPECT_EQ(ReadFile(m_phone / "media" / "iTunes_Control" / "Ringtones" / fields[2]), audio) << fields[2];
    }
    EXPECT_EQ(titles, (std::set<std::string>{"铃声 Bell/30000", "Two/5000"}));

    Request(R"([{"Sign":"list","Command":"getring"}])");
    ASSERT_TRUE(WaitFor([&] { return Response().value_or("").find(R"("Sign":"list")") != std::string::npos; }));
    const std::string list = Response().value_or("");
    EXPECT_EQ(
        list.rfind(R"([{"Sign":"list","Command":"getring","Code":1,"Message":"处理成功","Data":[{"Ringtones":{)", 0),
        0u)
        << list;
    for (const std::string& id : ids) EXPECT_NE(list.find("\"PID\":" + id), std::string::npos) << list;
    EXPECT_NE(list.find(R"("Name":"铃声 Bell")"), std::string::npos) << list;

    Request(R"([{"Sign":4,"Command":"delring","Parms":[{"PID":[)" + ids[0] + "," + ids[1] + "]}]}]");
    ASSERT_TRUE(AnswerIs(Answer("4", "delring", 1, "处理成功")));
    EXPECT_EQ(Phone("ringtones " + Quote(m_phone.string())), "");

    EXPECT_EQ(Stop(), 0);
    const std::string record = ReadFile(m_root / "home" / "Documents" / "recode.cx").value_or("");
    const std::string device = "|ProductType:iPhone12,1|SystemVersion:16.7.2|BasebandVersion:5.00.00";
    for (const std::string& part : {R"("Category":"GetList","Action":[{"ActName":"TRUE")"s,
                                    R"("Category":"DelRingtone","Action":[{"ActName":"TRUE")"s,
                                    R"("Category":"AddRingtone","Action":[{"ActName":"TRUE")"s,
                                    device + "|title:铃声 Bell|timems:30abc", device + "|title:Two|timems:5"})
        EXPECT_NE(record.find(part), std::string::npos) << part << "\n" << record;
    // Each command turned the busy display on and off again.
    const std::vector<std::string> changes = ChangeLines();
    EXPECT_EQ(std::count(changes.begin(), changes.end(), "busy: on"), 5);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), "busy: off"), 5);
}

TEST_F(Assistant, ServesEveryCompanionAppInOneCycle) {
    // Variants 1 and 100 are companion apps; 20 is never tried, and another app is no companion.
    Phone("init " + Quote(m_phone.string()) +
          " --app com.mrz4.ringtone.pid40ch100 --app com.example.other --app com.mrz4.ringtone.pid40ch20"
          " --app com.mrz4.ringtone.pid40ch1");
    const std::string second = "com.mrz4.ringtone.pid40ch100";
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0 && Heartbeat(second) >= 0; })) << Stderr();
    // Records are visited in the order of the candidates, so within a cycle variant 1 takes the
    // even counter value and variant 100 the odd one after it.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(LetCyclesPass(1));
        const long a = Heartbeat();
        const long b = Heartbeat(second);
        EXPECT_EQ(a % 2, 0) << a;
        EXPECT_EQ(b % 2, 1) << b;
    }
    EXPECT_FALSE(std::filesystem::exists(LinkFolder("com.mrz4.ringtone.pid40ch20")));
    EXPECT_FALSE(std::filesystem::exists(LinkFolder("com.example.other")));

    Request(R"([{"Sign":"one","Command":"foo"}])");
    Request(R"([{"Sign":"hundred","Command":"bar"}])", second);
    EXPECT_TRUE(AnswerIs(Answer("\"one\"", "foo", -1, "未知指令")));
    EXPECT_TRUE(AnswerIs(Answer("\"hundred\"", "bar", -1, "未知指令"), second));
    EXPECT_EQ(Stop(), 0);
}

// The phone leaves while an addition waits for it: the addition fails, the display goes back to
// waiting, and after the phone returns the app still gets its answer and a heartbeat counted anew.
TEST_F(Assistant, UnplugDuringACommandAndReplug) {
    Phone("init " + Quote(m_phone.string()));
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 3; })) << Stderr();
    const long before = Heartbeat();

    WriteFile(Documents() / "r.m4r", std::string(5000, 'a'));
    Phone("fault " + Quote(m_phone.string()) + " finished silent");
    Request(
        R"([{"Sign":9,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"B","timems":3}]}])");
    ASSERT_TRUE(WaitFor([&] { return StderrHasLine("busy: on"); })) << Stderr();

    Phone("unplug " + Quote(m_phone.string()));
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<std::string> lines = ChangeLines();
        return std::count(lines.begin(), lines.end(), "panel: waiting") == 2;
    })) << Stderr();
    EXPECT_TRUE(StderrHasLine("busy: off")) << Stderr();
    std::filesystem::remove(LinkFolder() / "Heartbeat");

    Phone("plug " + Quote(m_phone.string()));
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; }));
    EXPECT_LT(Heartbeat(), before);
    EXPECT_TRUE(AnswerIs(Answer("9", "addring", 0, "系统繁忙")));
    EXPECT_EQ(Phone("ringtones " + Quote(m_phone.string())), "");

    // The record carried the request's Sign over the reconnection: the same request is not taken again.
    std::filesystem::remove(LinkFolder() / "Respone");
    ASSERT_TRUE(LetCyclesPass(3));
    EXPECT_FALSE(Response().has_value());
    EXPECT_EQ(Stop(), 0);
}

// The request file stays in the app's container across starts of the assistant: an answered
// "addring" is not carried out again at the next start, and one left unanswered is carried out
// once.
TEST_F(Assistant, RestartCarriesOutNoAnsweredRequestAgain) {
    Phone("init " + Quote(m_phone.string()));
    const std::string phone = Quote(m_phone.string());
    WriteFile(Documents() / "r.m4r", std::string(5000, 'r'));
    const auto addring = [](int sign) {
        return "[{\"Sign\":" + std::to_string(sign) +
               R"(,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"R","timems":3}]}])";
    };
    const auto tones = [&] { return PhoneRingtoneIds(Phone("ringtones " + phone)).size(); };

    Start();
    Request(addring(21));
    ASSERT_TRUE(AnswerIs(Answer("21", "addring", 1, "处理成功")));
    ASSERT_EQ(tones(), 1u);
    EXPECT_EQ(Stop(), 0);

    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    ASSERT_TRUE(LetCyclesPass(3));
    EXPECT_EQ(tones(), 1u) << "the answered request was carried out again";
    EXPECT_EQ(Stop(), 0);

    // Written while no assistant runs: carried out by the next one, once.
    Request(addring(22));
    Start();
    ASSERT_TRUE(AnswerIs(Answer("22", "addring", 1, "处理成功")));
    ASSERT_TRUE(LetCyclesPass(3));
    EXPECT_EQ(tones(), 2u);
    EXPECT_EQ(Stop(), 0);
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    ASSERT_TRUE(LetCyclesPass(3));
    EXPECT_EQ(tones(), 2u);
    EXPECT_EQ(Stop(), 0);
}

// The phone's name is its owner's choice: escape sequences and line breaks in it reach standard
// error as text, never as control characters.
TEST_F(Assistant, DeviceNameIsPrintedWithControlCharactersEscaped) {
    Phone("init " + Quote(m_phone.string()) + " --name " + Quote("Evil\x1b]0;pwned\x07\nphone\xc2\x9b\x1b[2J"));
    Start();
    ASSERT_TRUE(WaitFor([&] { return StderrHasLine("panel: connected"); })) << Stderr();
    EXPECT_TRUE(WaitFor([&] { return StderrHasLine(R"(status: 连接状态：Evil\x1B]0;pwned\x07\x0Aphone\x9B\x1B[2J)"); }))
        << Stderr();
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Stderr().find_first_of("\x1b\x07"), std::string::npos);
}

// SIGINT ends the assistant as closing the window does, also with a command in flight.
TEST_F(Assistant, InterruptDuringACommandRecordsTheExit) {
    Phone("init " + Quote(m_phone.string()));
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    WriteFile(Documents() / "r.m4r", std::string(5000, 'a'));
    Phone("fault " + Quote(m_phone.string()) + " finished silent");
    Request(
        R"([{"Sign":9,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"B","timems":3}]}])");
    ASSERT_TRUE(WaitFor([&] { return StderrHasLine("busy: on"); })) << Stderr();

    const int status = Stop(SIGINT);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string record = ReadFile(m_root / "home" / "Documents" / "recode.cx").value_or("");
    EXPECT_NE(record.find(R"("ActName":"退出")"), std::string::npos) << record;
    EXPECT_EQ(record.back(), '}') << record;
}

// Whatever sits where the record file belongs, the assistant starts, serves and ends on SIGTERM:
// a FIFO is neither waited for nor replaced, and a record grown large over days (read while the
// assistant already runs) leaves a whole record and no temporary file behind.
TEST_F(Assistant, ARecordFileOfAnyKindNeitherBlocksTheStartNorTheEnd) {
    Phone("init " + Quote(m_phone.string()));
    const fs::path documents = m_root / "home" / "Documents";
    const fs::path record = documents / "recode.cx";
    std::string large = R"({"Recode":[{"Category":"铃声","Action":[{"ActName":"GetList","Value":[)";
    for (int i = 0; i < 60000; ++i) {
        if (i) large += ",";
        large += R"({"Lable":"","Value":"TRUE","CTime":"2026-01-01 00:00:00"})";
    }
    large += R"(]}]}],"Report":""})";
    struct Case {
        const char* desc;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0); }},
        {"a large record", [&] { WriteFile(record, large); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        fs::create_directories(documents);
        c.make();
        const long before = Heartbeat();
        Start();
        ASSERT_TRUE(WaitFor([&] { return Heartbeat() > before; })) << Stderr();
        const int status = Stop(SIGTERM);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(documents)) names.push_back(entry.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"recode.cx"});
        if (std::string(c.desc) == "a FIFO") {
            EXPECT_TRUE(fs::is_fifo(record));
            fs::remove_all(documents);
            continue;
        }
        // The old record or the new one, whole.
        const std::string text = ReadFile(record).value_or("");
        EXPECT_TRUE(text == large || (text.size() < large.size() && text.back() == '}')) << text.size();
        fs::remove_all(documents);
    }
}

// The README's way of trying it by hand: ruvo-phone request plays the app against the assistant.
TEST_F(Assistant, PlayedByHandWithRuvoPhoneRequest) {
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    WriteFile(m_root / "bell.m4r", std::string(30000, 'b'));
    const std::string phone = Quote(m_phone.string());
    const std::regex added(R"(^\[\{"Sign":\d+,"Command":"addring","Code":1,"Message":"处理成功"\}\]\n$)");
    const std::string add =
        Phone("request " + phone + " addring " + Quote((m_root / "bell.m4r").string()) + " Bell 12");
    EXPECT_TRUE(std::regex_match(add, added)) << add;
    EXPECT_EQ(ReadFile(Documents() / "bell.m4r"), std::string(30000, 'b'));

    const std::vector<std::string> ids = PhoneRingtoneIds(Phone("ringtones " + phone));
    ASSERT_EQ(ids.size(), 1u);
    const std::string list = Phone("request " + phone + " getring");
    EXPECT_NE(list.find(R"("Name":"Bell")"), std::string::npos) << list;
    EXPECT_NE(list.find("\"PID\":" + ids[0]), std::string::npos) << list;

    const std::regex deleted(R"(^\[\{"Sign":\d+,"Command":"delring","Code":1,"Message":"处理成功"\}\]\n$)");
    const std::string del = Phone("request " + phone + " delring " + ids[0]);
    EXPECT_TRUE(std::regex_match(del, deleted)) << del;
    EXPECT_EQ(Phone("ringtones " + phone), "");
    EXPECT_EQ(Stop(), 0);
}

// A 440 Hz sine of whole seconds, encoded by gst-launch-1.0.
bool MakeSine(const fs::path& path, int seconds, int channels, const std::string& encoder) {
    const std::string command = "gst-launch-1.0 -q audiotestsrc num-buffers=" + std::to_string(seconds * 441 / 10) +
                                " samplesperbuffer=1000 ! audio/x-raw,rate=44100,channels=" + std::to_string(channels) +
                                " ! audioconvert ! " + encoder + " ! filesink location=" + Quote(path.string()) +
                                " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// The app's audio that is not a ringtone yet is made into one before the add: a 60 s MP3 becomes
// 40 s of AAC in MPEG-4, recorded as 40,000 ms whatever longer "timems" the app gave, with the
// conversion's progress on the status line; bytes of no audio format go as they are; a
// conversion that fails answers as a failed add.
TEST_F(Assistant, TheAppsAudioBecomesAnAacRingtone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's streaming threads are not instrumented";
#endif
    const fs::path mp3 = m_root / "song.mp3";
    ASSERT_TRUE(MakeSine(mp3, 60, 2, "lamemp3enc"));
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    const std::string phone = Quote(m_phone.string());
    const std::regex added(R"(^\[\{"Sign":\d+,"Command":"addring","Code":1,"Message":"处理成功"\}\]\n$)");
    const std::string add = Phone("request " + phone + " addring " + Quote(mp3.string()) + " Song 55");
    EXPECT_TRUE(std::regex_match(add, added)) << add;

    const std::string listing = Phone("ringtones " + phone);
    std::vector<std::string> fields;
    std::istringstream columns(listing.substr(0, listing.find('\n')));
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    ASSERT_EQ(fields.size(), 4u) << listing;
    EXPECT_EQ(fields[1], "Song");
    EXPECT_EQ(fields[3], "40000");
    const fs::path tone = m_phone / "media" / "iTunes_Control" / "Ringtones" / fields[2];
    const std::string report = Capture("gst-discoverer-1.0 " + Quote(tone.string()));
    EXPECT_NE(report.find("container #0: Quicktime"), std::string::npos) << report;
    EXPECT_NE(report.find("audio #1: MPEG-4 AAC"), std::string::npos) << report;
    std::smatch duration;
    ASSERT_TRUE(std::regex_search(report, duration, std::regex(R"(Duration: 0:00:(\d\d\.\d+))"))) << report;
    EXPECT_NEAR(std::stod(duration[1].str()), 40.0, 1024.0 / 44100) << report;
    EXPECT_TRUE(StderrHasLine("status: 正在制作铃声：Song 0%")) << Stderr();
    EXPECT_TRUE(StderrHasLine("status: 正在制作铃声：Song 100%")) << Stderr();

    // Bytes of no audio format under an audio name go to the phone as they are.
    WriteFile(m_root / "odd.mp3", std::string(5000, 'x'));
    EXPECT_TRUE(std::regex_match(Phone("request " + phone + " addring " + Quote((m_root / "odd.mp3").string()) + " Odd 3"),
                                 added));
    EXPECT_EQ(Phone("ringtones " + phone).find("\tOdd\t") != std::string::npos, true);
    EXPECT_EQ(Stop(), 0);
    // The record keeps the app's own "timems" text.
    const std::string record = ReadFile(m_root / "home" / "Documents" / "recode.cx").value_or("");
    EXPECT_NE(record.find("|title:Song|timems:55"), std::string::npos) << record;
}

TEST_F(Assistant, AFailedConversionAnswersAsAFailedAdd) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's streaming threads are not instrumented";
#endif
    const fs::path flac = m_root / "long.flac";
    ASSERT_TRUE(MakeSine(flac, 10, 1, "flacenc"));
    ::setenv("RUVO_CONVERT_TIMEOUT_MS", "1", 1);
    Start();
    ::unsetenv("RUVO_CONVERT_TIMEOUT_MS");
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    const std::string answer = Phone("request " + Quote(m_phone.string()) + " addring " + Quote(flac.string()) + " Slow 9");
    EXPECT_TRUE(std::regex_match(
        answer, std::regex(R"(^\[\{"Sign":\d+,"Command":"addring","Code":0,"Message":"系统繁忙"\}\]\n$)")))
        << answer;
    EXPECT_EQ(Phone("ringtones " + Quote(m_phone.string())), "");
    EXPECT_EQ(Stop(), 0);
    const std::string record = ReadFile(m_root / "home" / "Documents" / "recode.cx").value_or("");
    EXPECT_NE(record.find(R"("Category":"AddRingtone","Action":[{"ActName":"FALSE")"), std::string::npos) << record;
}

TEST_F(Assistant, CommandLine) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out;  // a prefix for --help, else exact
        std::string err;
    };
    const Case cases[] = {
        {{"--help"}, 0, "usage: ruvo [--headless] [--virtual-phone DIR | --usb] [--no-report]\n", ""},
        {{"--headless", "--usb", "--virtual-phone", "/tmp"}, 2, "",
         "ruvo: --usb and --virtual-phone exclude each other (try --help)\n"},
        {{"--bogus"}, 2, "", "ruvo: unknown option '--bogus' (try --help)\n"},
        {{"--headless", "--virtual-phone"}, 2, "", "ruvo: --virtual-phone needs a directory (try --help)\n"},
        {{"--headless", "--virtual-phone", "/"}, 1, "", "ruvo: no virtual phone in /\n"},
    };
    for (const Case& c : cases) {
        Start(c.arguments, false);
        int status = -1;
        ASSERT_TRUE(WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }));
        m_pid = -1;
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.arguments[0];
        const std::string out = ReadFile(m_root / "stdout").value_or("");
        if (c.status == 0)
            EXPECT_EQ(out.rfind(c.out, 0), 0u) << out;
        else
            EXPECT_EQ(out, c.out);
        EXPECT_EQ(Stderr(), c.err);
    }
}

// Without --headless and without a display, the window run says once that it runs headless.
TEST_F(Assistant, WithoutADisplaySaysOnceThatItRunsHeadless) {
    Start({"--no-report"});
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    EXPECT_EQ(Stop(), 0);
    const std::vector<std::string> lines = ChangeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "untimed: ruvo: no display: running headless");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), lines[0]), 1);
    // A phone folder that did not exist was made as ruvo-phone init makes one.
    EXPECT_NE(Phone("status " + Quote(m_phone.string())).find("com.mrz4.ringtone.pid40ch1"), std::string::npos);
}

}  // namespace
}  // namespace assistant_test
