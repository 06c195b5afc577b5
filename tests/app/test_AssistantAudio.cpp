// Black-box tests of the assistant with the companion app's audio from a hostile or unlucky
// user: sources that declare absurd rates, broken and empty files, a conversion helper killed
// or hung, and the assistant ended in the middle of a conversion. Whatever happens, the app's
// request is answered (once), the assistant lives on, no helper process outlives it and nothing
// is left in $TMPDIR.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>

#include "AssistantProcess.h"

namespace assistant_test {
namespace {

class AssistantAudio : public AssistantFixture {
protected:
    void SetUp() override {
        AssistantFixture::SetUp();
        fs::create_directories(m_root / "tmp");
        // The conversions' temporary room, and the mark that finds this test's helpers.
        m_environment = {{"TMPDIR", (m_root / "tmp").string()}, {"RUVO_TEST_MARK", m_root.string()}};
    }

    std::string PhoneArg() const { return Quote(m_phone.string()); }

    // The app asks to add the file; the whole answer, or what ruvo-phone said instead.
    std::string AddFromApp(const fs::path& file, const std::string& title, int seconds = 30) {
        return Phone("request " + PhoneArg() + " addring " + Quote(file.string()) + " " + Quote(title) + " " +
                     std::to_string(seconds));
    }

    size_t Tones() {
        const std::string listing = Phone("ringtones " + PhoneArg());
        return static_cast<size_t>(std::count(listing.begin(), listing.end(), '\n'));
    }

    bool Alive() const { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }

    // The helper processes of this test that still run: ruvo-convert with the test's mark.
    std::vector<pid_t> Helpers() const {
        std::vector<pid_t> found;
        const std::string mark = "RUVO_TEST_MARK=" + m_root.string();
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream comm(entry.path() / "comm");
            std::string command;
            if (!std::getline(comm, command) || command != "ruvo-convert") continue;
            std::ifstream environ(entry.path() / "environ", std::ios::binary);
            std::string variable;
            while (std::getline(environ, variable, '\0'))
                if (variable == mark) found.push_back(static_cast<pid_t>(std::stol(name)));
        }
        return found;
    }

    bool TmpIsEmpty() const { return fs::is_empty(m_root / "tmp"); }

    // A 440 Hz sine of whole seconds, encoded by gst-launch-1.0.
    bool Sine(const fs::path& path, int seconds, const std::string& encoder) {
        return std::system(("gst-launch-1.0 -q audiotestsrc num-buffers=" + std::to_string(seconds * 441 / 10) +
                            " samplesperbuffer=1000 ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! " + encoder +
                            " ! filesink location=" + Quote(path.string()) + " >/dev/null 2>&1")
                               .c_str()) == 0;
    }
    // A stream that declares a sample rate of 1 Hz.
    bool Rate1(const fs::path& path, int samples, const std::string& encoder) {
        return std::system(("gst-launch-1.0 -q audiotestsrc num-buffers=4 samplesperbuffer=" + std::to_string(samples) +
                            " ! audio/x-raw,rate=1,channels=2,format=S16LE ! " + encoder +
                            " ! filesink location=" + Quote(path.string()) + " >/dev/null 2>&1")
                               .c_str()) == 0;
    }
};

const std::regex kBusy(R"(^\[\{"Sign":\d+,"Command":"addring","Code":0,"Message":"系统繁忙"\}\]\n$)");
const std::regex kDone(R"(^\[\{"Sign":\d+,"Command":"addring","Code":1,"Message":"处理成功"\}\]\n$)");

TEST_F(AssistantAudio, HostileAudioIsAnsweredOnceAndHurtsNothingAcrossARestart) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's streaming threads are not instrumented";
#endif
    ASSERT_TRUE(Rate1(m_root / "rate1.flac", 65535, "flacenc blocksize=65535 streamable-subset=false"));
    ASSERT_TRUE(Rate1(m_root / "rate1.wav", 4608, "wavenc"));
    ASSERT_TRUE(Sine(m_root / "song.mp3", 60, "lamemp3enc"));
    const std::string mp3 = ReadFile(m_root / "song.mp3").value_or("");
    WriteFile(m_root / "cut.mp3", mp3.substr(0, mp3.size() / 3));
    WriteFile(m_root / "empty.flac", "");
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();

    const std::regex missing(R"(^\[\{"Sign":\d+,"Command":"addring","Code":-1,"Message":"铃音文件不存在"\}\]\n$)");
    const struct {
        const char* file;
        const std::regex& answer;
        bool mayConvert;  // a truncated MP3 converts as far as it decodes, or fails
    } cases[] = {{"rate1.flac", kBusy, false}, {"rate1.wav", kBusy, false}, {"empty.flac", missing, false},
                 {"cut.mp3", kBusy, true}};
    size_t added = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto start = std::chrono::steady_clock::now();
        const std::string answer = AddFromApp(m_root / c.file, "Bomb");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        if (c.mayConvert && std::regex_match(answer, kDone))
            ++added;
        else
            EXPECT_TRUE(std::regex_match(answer, c.answer)) << answer;
        EXPECT_TRUE(Alive()) << Stderr();
        EXPECT_EQ(Tones(), added);
        EXPECT_TRUE(TmpIsEmpty());
        EXPECT_TRUE(Helpers().empty());
    }
    EXPECT_EQ(Stop(), 0);

    // The last request was answered: the next start carries out nothing again, and lives.
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    ASSERT_TRUE(LetCyclesPass(3));
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Tones(), added);
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(TmpIsEmpty());
}

TEST_F(AssistantAudio, AHelperKilledMidConversionAnswersAsAFailedAdd) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's streaming threads are not instrumented";
#endif
    ASSERT_TRUE(Sine(m_root / "song.mp3", 60, "lamemp3enc"));
    m_environment.emplace_back("RUVO_CONVERT_TEST_STALL", "1");
    Start();
    ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
    std::string answer;
    std::thread app([&] { answer = AddFromApp(m_root / "song.mp3", "Killed"); });
    ASSERT_TRUE(WaitFor([&] { return Helpers().size() == 1; })) << Stderr();
    // It stalls once decoding has started: the status line shows the conversion by then.
    ASSERT_TRUE(WaitFor([&] { return StderrHasLine("status: 正在制作铃声：Killed 0%"); })) << Stderr();
    ::kill(Helpers().front(), SIGKILL);
    app.join();
    EXPECT_TRUE(std::regex_match(answer, kBusy)) << answer;
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Tones(), 0u);
    EXPECT_TRUE(Helpers().empty());
    EXPECT_TRUE(TmpIsEmpty());
    EXPECT_EQ(Stop(), 0);
    const std::string record = ReadFile(m_root / "home" / "Documents" / "recode.cx").value_or("");
    EXPECT_NE(record.find(R"("Category":"AddRingtone","Action":[{"ActName":"FALSE")"), std::string::npos) << record;
}

// SIGTERM while the app's audio is converted, at several moments of the conversion (and with a
// helper that hangs): the assistant ends at once, its helper with it, and nothing is left.
TEST_F(AssistantAudio, EndedDuringAConversionLeavesNoHelperAndNoFile) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's streaming threads are not instrumented";
#endif
    ASSERT_TRUE(Sine(m_root / "song.mp3", 60, "lamemp3enc"));
    Phone("init " + PhoneArg());
    const struct {
        int afterMs;
        bool stall;
    } moments[] = {{0, true}, {0, false}, {150, false}, {400, false}};
    for (const auto& moment : moments) {
        SCOPED_TRACE("after " + std::to_string(moment.afterMs) + " ms" + (moment.stall ? ", stalled" : ""));
        m_environment = {{"TMPDIR", (m_root / "tmp").string()}, {"RUVO_TEST_MARK", m_root.string()}};
        if (moment.stall) m_environment.emplace_back("RUVO_CONVERT_TEST_STALL", "1");
        fs::remove(m_root / "stderr");
        Start();
        ASSERT_TRUE(WaitFor([&] { return Heartbeat() >= 0; })) << Stderr();
        // The app's request, written as the app writes it; the test does not wait for an answer.
        fs::copy_file(m_root / "song.mp3", Documents() / "song.mp3", fs::copy_options::overwrite_existing);
        Request(R"([{"Sign":)" + std::to_string(500 + moment.afterMs) +
                R"(,"Command":"addring","Parms":[{"filepatch":"/Documents/song.mp3","storename":"Song","timems":30}]}])");
        ASSERT_TRUE(WaitFor([&] { return StderrHasLine("status: 正在制作铃声：Song 0%"); })) << Stderr();
        std::this_thread::sleep_for(std::chrono::milliseconds(moment.afterMs));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Stop(SIGTERM), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(WaitFor([&] { return Helpers().empty(); })) << "a helper outlived the assistant";
        EXPECT_TRUE(TmpIsEmpty());
        // The next moment starts from an unanswered request of its own.
        fs::remove(LinkFolder() / "Respone");
    }
}

}  // namespace
}  // namespace assistant_test
