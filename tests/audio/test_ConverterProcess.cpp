// What a caller sees of a conversion helper that misbehaves, with helpers of the test's own in
// place of ruvo-convert (RUVO_CONVERT_HELPER): every kind of crash, garbage or silence is a
// failed conversion with one line of reason, within the bound, with nothing of the helper left.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AudioConverter.h"

namespace {

namespace fs = std::filesystem;
using Outcome = ruvo::audio::Prepared::Outcome;

class ConverterProcess : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ruvo-helper-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        std::ofstream(m_dir / "song.mp3") << "any bytes: the helpers here do not read them";
    }
    void TearDown() override {
        ::unsetenv("RUVO_CONVERT_HELPER");
        ::unsetenv("RUVO_CONVERT_TIMEOUT_MS");
        fs::remove_all(m_dir);
    }

    // A helper of the test's own: a shell script.
    fs::path Helper(const std::string& name, const std::string& body) {
        const fs::path path = m_dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    ruvo::audio::Prepared Prepare(std::vector<int>* progress = nullptr) {
        ruvo::audio::Request request;
        request.path = (m_dir / "song.mp3").string();
        request.name = request.path;
        request.title = "T";
        if (progress) request.progress = [progress](int percent) { progress->push_back(percent); };
        return ruvo::audio::PrepareRingtone(request);
    }

    fs::path m_dir;
};

// Whether the process has ended (gone, or a zombie waiting for whoever inherited it), within 2 s.
bool Gone(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text)) return true;
        const size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') return true;
        ::usleep(10000);
    }
    return false;
}

TEST_F(ConverterProcess, EveryMisbehaviourIsAFailedConversionWithOneLine) {
    struct Case {
        const char* desc;
        std::string body;
        std::string reason;
    };
    const std::string line(100000, 'a');
    for (const Case& c : std::vector<Case>{
             {"garbage", "echo 'hello there' >&5", "the converter answered wrongly"},
             {"no done", "echo 'kind convertible' >&5", "the converter answered wrongly"},
             {"a kind it never says", "echo 'kind wav' >&5; echo done >&5", "the converter answered wrongly"},
             {"a percent past 100", "echo 'progress 250' >&5; echo done >&5", "the converter answered wrongly"},
             {"a line without end", "head -c 100000 /dev/zero | tr '\\0' a >&5", "the converter answered wrongly"},
             {"control bytes", "printf 'title a\\033b\\n' >&5; echo done >&5", "the converter answered wrongly"},
             {"said more after done", "echo done >&5; echo 'kind convertible' >&5", "the converter answered wrongly"},
             {"converted, but no ringtone", "echo 'kind convertible' >&5; echo 'converted 10' >&5; echo done >&5",
              "the converter made no ringtone"},
             {"an exit status", "exit 3", "the converter answered wrongly"},
             {"a crash", "kill -SEGV $$", "the converter crashed (SIGSEGV)"},
             {"an abort after its log", "echo 'log failed to allocate 23109105759 bytes' >&5; kill -TRAP $$",
              "the converter crashed (SIGTRAP): failed to allocate 23109105759 bytes"},
             {"killed", "kill -KILL $$", "the converter was killed"},
             {"a processor limit", "kill -XCPU $$", "the conversion used too much processor time"},
             {"its own failure", "echo 'failed unsupported audio: 12 channels' >&5; echo done >&5",
              "unsupported audio: 12 channels"},
         }) {
        ::setenv("RUVO_CONVERT_HELPER", Helper("helper", c.body).c_str(), 1);
        const ruvo::audio::Prepared prepared = Prepare();
        EXPECT_EQ(prepared.outcome, Outcome::Failed) << c.desc;
        EXPECT_EQ(prepared.reason, c.reason) << c.desc;
        EXPECT_TRUE(prepared.bytes.empty()) << c.desc;
    }
}

TEST_F(ConverterProcess, AHelperThatIsNotThereFailsInOneLine) {
    ::setenv("RUVO_CONVERT_HELPER", (m_dir / "missing").c_str(), 1);
    const ruvo::audio::Prepared prepared = Prepare();
    EXPECT_EQ(prepared.outcome, Outcome::Failed);
    EXPECT_EQ(prepared.reason, "cannot start the converter " + (m_dir / "missing").string());
}

// A helper that hangs, or leaves a process behind that holds its report open, is killed at the
// bound with its whole process group.
TEST_F(ConverterProcess, TheBoundKillsAHungHelperAndWhatItStarted) {
    ::setenv("RUVO_CONVERT_TIMEOUT_MS", "1500", 1);
    for (const char* body : {"echo 'progress 0' >&5; exec sleep 300", "sleep 300 & echo $! > \"$0.child\"; wait"}) {
        ::setenv("RUVO_CONVERT_HELPER", Helper("helper", body).c_str(), 1);
        const auto start = std::chrono::steady_clock::now();
        std::vector<int> progress;
        const ruvo::audio::Prepared prepared = Prepare(&progress);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << body;
        EXPECT_EQ(prepared.outcome, Outcome::Failed) << body;
        EXPECT_EQ(prepared.reason, "the conversion took too long") << body;
        std::ifstream childFile(m_dir / "helper.child");
        pid_t child = 0;
        if (childFile >> child) {
            EXPECT_TRUE(Gone(child)) << "the helper's child outlived it";
        }
        fs::remove(m_dir / "helper.child");
    }
    // A helper that exits and leaves a process holding its report: its own end is what counts.
    ::setenv("RUVO_CONVERT_HELPER",
             Helper("helper", "(sleep 300 &); echo 'kind not-audio' >&5; echo done >&5; exit 0").c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Prepare().outcome, Outcome::NotAudio);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
}

// The helper's progress reaches the caller in order, each percent once; a percent that goes back
// is not shown again.
TEST_F(ConverterProcess, ProgressArrivesGrowing) {
    ::setenv("RUVO_CONVERT_HELPER",
             Helper("helper", "for p in 0 5 5 40 20 100; do echo \"progress $p\" >&5; done; echo 'kind not-audio' >&5; "
                              "echo done >&5")
                 .c_str(),
             1);
    std::vector<int> progress;
    EXPECT_EQ(Prepare(&progress).outcome, Outcome::NotAudio);
    EXPECT_EQ(progress, (std::vector<int>{0, 5, 40, 100}));
}

// What is no regular file is refused before any helper starts, and without waiting on it.
TEST_F(ConverterProcess, WhatIsNoRegularFileIsRefusedAtOnce) {
    ::setenv("RUVO_CONVERT_HELPER", Helper("helper", "touch \"$0.ran\"; exit 1").c_str(), 1);
    ASSERT_EQ(::mkfifo((m_dir / "fifo.mp3").c_str(), 0600), 0);
    fs::create_directory(m_dir / "folder.mp3");
    fs::create_symlink("/dev/zero", m_dir / "zero.mp3");
    for (const char* name : {"fifo.mp3", "folder.mp3", "zero.mp3"}) {
        ruvo::audio::Request request;
        request.path = (m_dir / name).string();
        request.name = request.path;
        const ruvo::audio::Prepared prepared = ruvo::audio::PrepareRingtone(request);
        EXPECT_EQ(prepared.outcome, Outcome::Failed) << name;
        EXPECT_EQ(prepared.reason, "not a regular file") << name;
        std::string bytes;
        EXPECT_FALSE(ruvo::audio::ReadAudioFile(request.path, bytes)) << name;
        EXPECT_EQ(errno, EINVAL) << name;
    }
    EXPECT_FALSE(fs::exists(m_dir / "helper.ran"));
}

}  // namespace
