// The converter against sine fixtures made at test time: what each format and length becomes
// (read back with GStreamer's discoverer and decoder), what goes unchanged, what is refused, the
// excerpt's options, progress and the time bound.
#include "AudioConverter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <random>

#include "AudioFixtures.h"

namespace {

using namespace audio_test;
using ruvo::audio::Prepared;
using Outcome = ruvo::audio::Prepared::Outcome;

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file << bytes;
}

class AudioConverter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "ruvo-audio-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        s_dir = pattern;
        for (const char* extension : {"mp3", "ogg", "flac", "wav", "m4a"})
            for (int seconds : {10, 60})
                ASSERT_TRUE(MakeSine(Fixture(extension, seconds), seconds)) << "cannot make the " << extension << " fixture";
        ASSERT_TRUE(MakeSine(s_dir / "mono.flac", 10, 1));
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }

    static fs::path Fixture(const std::string& extension, int seconds) {
        return s_dir / ("sine" + std::to_string(seconds) + "." + extension);
    }

    // Prepares the file and writes a converted ringtone beside the fixtures.
    static Prepared Prepare(const fs::path& path, double from = 0, double seconds = 40, const std::string& title = "Tone") {
        ruvo::audio::Request request;
        request.path = path.string();
        request.name = path.filename().string();
        request.fromSeconds = from;
        request.seconds = seconds;
        request.title = title;
        return ruvo::audio::PrepareRingtone(request);
    }

    static fs::path Written(const Prepared& prepared) {
        const fs::path out = s_dir / "out.m4r";
        WriteAll(out, prepared.bytes);
        return out;
    }

    static inline fs::path s_dir;
};

// A ringtone made of the fixture: one AAC track in MPEG-4 at 44.1 kHz, of the expected length
// (within an AAC frame, never longer), titled, fading out exactly when the source went on.
void ExpectRingtone(const fs::path& file, double seconds, bool faded, int channels = 2, const std::string& title = "Tone") {
    const FileFacts facts = Inspect(file);
    ASSERT_TRUE(facts.read) << file;
    EXPECT_EQ(facts.container, "video/quicktime");
    EXPECT_EQ(facts.audioStreams, 1);
    EXPECT_EQ(facts.otherStreams, 0);
    EXPECT_TRUE(facts.aac);
    EXPECT_EQ(facts.rate, kRate);
    EXPECT_EQ(facts.channels, channels);
    EXPECT_NEAR(facts.seconds, seconds, kFrameSeconds);
    EXPECT_LE(facts.seconds, 40 + 1e-3) << "longer than a phone plays";
    EXPECT_EQ(facts.title, title);
    const std::vector<float> samples = DecodeMono(file);
    ASSERT_GT(samples.size(), static_cast<size_t>(kRate));
    const double end = LevelBeforeEnd(samples, 0.5, 0);
    const double before = LevelBeforeEnd(samples, 5.5, 5.0);
    if (faded)
        EXPECT_LE(end, before - 20) << "the end is not faded out";
    else
        EXPECT_GT(end, before - 20) << "the end is faded out";
}

TEST_F(AudioConverter, EveryFormatAndLength) {
    struct Case {
        const char* extension;
        int seconds;
    };
    for (const Case c : {Case{"mp3", 10}, Case{"mp3", 60}, Case{"ogg", 10}, Case{"ogg", 60}, Case{"flac", 10},
                         Case{"flac", 60}, Case{"wav", 10}, Case{"wav", 60}, Case{"m4a", 60}}) {
        SCOPED_TRACE(std::string(c.extension) + " of " + std::to_string(c.seconds) + " s");
        const Prepared prepared = Prepare(Fixture(c.extension, c.seconds));
        ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
        const double expected = c.seconds == 60 ? 40 : 10;
        EXPECT_NEAR(prepared.seconds, expected, kFrameSeconds);
        EXPECT_EQ(ruvo::audio::RecordedSeconds(prepared.seconds), expected);
        ExpectRingtone(Written(prepared), expected, c.seconds == 60);
    }
}

TEST_F(AudioConverter, MonoStaysMono) {
    const Prepared prepared = Prepare(s_dir / "mono.flac");
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    ExpectRingtone(Written(prepared), 10, false, 1);
}

TEST_F(AudioConverter, TheExcerptsStartAndLength) {
    // From second 50 of 60: the rest, whole, not faded.
    Prepared prepared = Prepare(Fixture("flac", 60), 50);
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    ExpectRingtone(Written(prepared), 10, false);
    // 15 s asked of 60: cut, faded.
    prepared = Prepare(Fixture("ogg", 60), 0, 15);
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    ExpectRingtone(Written(prepared), 15, true);
    // 20 s from second 5 of a 10 s source: what is left, whole.
    prepared = Prepare(Fixture("wav", 10), 5, 20);
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    EXPECT_NEAR(prepared.seconds, 5, kFrameSeconds);
    // At or past the end: a clean failure.
    for (double from : {10.0, 75.0}) {
        prepared = Prepare(Fixture("flac", 10), from);
        EXPECT_EQ(prepared.outcome, Outcome::Failed);
        EXPECT_EQ(prepared.reason, "the excerpt starts at or past the end of the audio");
    }
}

TEST_F(AudioConverter, TheTitleTagTakesQuotesBracketsAndWideCharacters) {
    const std::string title = "\"Ring\" [拨号] {a:b} \\ é";
    const Prepared prepared = Prepare(Fixture("flac", 10), 0, 40, title);
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    EXPECT_EQ(Inspect(Written(prepared)).title, title);
}

TEST_F(AudioConverter, WithoutATitleTheSourcesTagOrTheNameTitlesIt) {
    const fs::path tagged = s_dir / "tagged.ogg";
    ASSERT_EQ(std::system(("gst-launch-1.0 -q audiotestsrc num-buffers=100 samplesperbuffer=1000 ! audioconvert ! "
                           "taginject 'tags=\"title=\\\"Evening Bells\\\"\"' ! vorbisenc ! oggmux ! filesink location='" +
                           tagged.string() + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    Prepared prepared = Prepare(tagged, 0, 40, "");
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    EXPECT_EQ(prepared.title, "Evening Bells");
    EXPECT_EQ(Inspect(Written(prepared)).title, "Evening Bells");
    prepared = Prepare(Fixture("wav", 10), 0, 40, "");
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    EXPECT_EQ(prepared.title, "");
    EXPECT_EQ(Inspect(Written(prepared)).title, "sine10");
}

TEST_F(AudioConverter, RingtonesAndShortAacGoUnchanged) {
    // A .m4r name goes as it is, whatever its bytes, in any case.
    std::mt19937 random(7);
    std::string noise(4000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    for (const char* name : {"noise.m4r", "NOISE.M4R", "x.M4r"}) {
        WriteAll(s_dir / name, noise);
        EXPECT_EQ(Prepare(s_dir / name).outcome, Outcome::AsIs) << name;
    }
    // AAC in MPEG-4 of at most 40 s: as it is, unless an excerpt of it is asked for.
    const Prepared whole = Prepare(Fixture("m4a", 10));
    EXPECT_EQ(whole.outcome, Outcome::AsIs);
    EXPECT_TRUE(whole.bytes.empty());
    EXPECT_NEAR(whole.seconds, 10, 2 * kFrameSeconds);
    EXPECT_EQ(Prepare(Fixture("m4a", 10), 2).outcome, Outcome::Converted);
    EXPECT_EQ(Prepare(Fixture("m4a", 10), 0, 5).outcome, Outcome::Converted);
}

TEST_F(AudioConverter, WhatIsNotAudio) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    for (const Case& c : {Case{"notes.txt", "just some text, \"quoted\" [bracketed]\n"},
                          Case{"song.mp3", "not an mp3 at all\x01\x02"},
                          Case{"empty.flac", ""},
                          Case{"picture.png", "\x89PNG\r\n\x1a\n" + std::string(100, '\0')}}) {
        SCOPED_TRACE(c.name);
        WriteAll(s_dir / c.name, c.bytes);
        const Prepared prepared = Prepare(s_dir / c.name);
        EXPECT_EQ(prepared.outcome, Outcome::NotAudio) << prepared.reason;
        EXPECT_TRUE(prepared.bytes.empty());
    }
    // A file that cannot be read at all is no audio either.
    EXPECT_EQ(Prepare(s_dir / "missing.mp3").outcome, Outcome::NotAudio);
}

TEST_F(AudioConverter, ATruncatedMp3ConvertsAsFarAsItDecodesOrFailsCleanly) {
    const std::string mp3 = ReadAll(Fixture("mp3", 60));
    WriteAll(s_dir / "cut.mp3", mp3.substr(0, mp3.size() / 2));
    const Prepared prepared = Prepare(s_dir / "cut.mp3");
    if (prepared.outcome == Outcome::Converted) {
        const FileFacts facts = Inspect(Written(prepared));
        EXPECT_TRUE(facts.aac);
        EXPECT_GT(facts.seconds, 20);
        EXPECT_LE(facts.seconds, 40 + 1e-3);
    } else {
        EXPECT_EQ(prepared.outcome, Outcome::Failed);
        EXPECT_FALSE(prepared.reason.empty());
        EXPECT_EQ(prepared.reason.find('\n'), std::string::npos);
    }
}

TEST_F(AudioConverter, BytesInMemoryConvertLikeTheFile) {
    const std::string bytes = ReadAll(Fixture("ogg", 10));
    ruvo::audio::Request request;
    request.bytes = bytes;
    request.title = "Tone";
    const Prepared prepared = ruvo::audio::PrepareRingtone(request);
    ASSERT_EQ(prepared.outcome, Outcome::Converted) << prepared.reason;
    ExpectRingtone(Written(prepared), 10, false);
}

TEST_F(AudioConverter, ProgressRunsFromZeroToOneHundred) {
    std::vector<int> seen;
    ruvo::audio::Request request;
    request.path = Fixture("wav", 60).string();
    request.name = request.path;
    request.progress = [&seen](int percent) { seen.push_back(percent); };
    const ruvo::audio::Result result = ruvo::audio::ConvertAudio(request);
    ASSERT_TRUE(result.ok) << result.reason;
    fs::remove(result.outputPath);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(seen.back(), 100);
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1], seen[i]);
}

TEST_F(AudioConverter, TheTimeBoundEndsAConversion) {
    ::setenv("RUVO_CONVERT_TIMEOUT_MS", "1", 1);
    const Prepared prepared = Prepare(Fixture("flac", 60));
    ::unsetenv("RUVO_CONVERT_TIMEOUT_MS");
    EXPECT_EQ(prepared.outcome, Outcome::Failed);
    EXPECT_EQ(prepared.reason, "the conversion took too long");
    // A longer bound than 60 s is not taken: the default holds, and the conversion works.
    ::setenv("RUVO_CONVERT_TIMEOUT_MS", "999999999", 1);
    EXPECT_EQ(Prepare(Fixture("flac", 10)).outcome, Outcome::Converted);
    ::unsetenv("RUVO_CONVERT_TIMEOUT_MS");
}

TEST(RecordedSeconds, RoundsUpForgivingEncoderPadding) {
    struct Case {
        double seconds;
        int recorded;
    };
    for (const Case c : {Case{0, 0}, Case{-3, 0}, Case{0.2, 1}, Case{9.985, 10}, Case{10.0, 10}, Case{10.02, 10},
                         Case{10.3, 11}, Case{40.0, 40}})
        EXPECT_EQ(ruvo::audio::RecordedSeconds(c.seconds), c.recorded) << c.seconds;
}

}  // namespace
