// The converter's pieces that need no GStreamer, on plain tables: the sample edits (fade, MP3
// delay, priming) and the titles taken from tags and file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AudioConverter.h"
#include "SampleEdits.h"

namespace {

using ruvo::audio::CleanTitle;

// Frames of one value per channel: {1, 1, 1, ...} interleaved.
std::vector<float> Constant(size_t frames, int channels, float value = 1.0F) {
    return std::vector<float>(frames * static_cast<size_t>(channels), value);
}

TEST(FadeOut, RampsToSilenceAnEighthBeforeTheEnd) {
    struct Case {
        const char* desc;
        size_t frames;
        int channels;
        size_t fade;
    };
    for (const Case c : {Case{"longer than the fade", 100, 2, 16}, Case{"mono", 100, 1, 16},
                         Case{"shorter than the fade: fades whole", 8, 2, 16}, Case{"exactly the fade", 16, 2, 16}}) {
        std::vector<float> samples = Constant(c.frames, c.channels);
        ruvo::audio::FadeOut(samples, c.channels, c.fade);
        ASSERT_EQ(samples.size(), c.frames * static_cast<size_t>(c.channels)) << c.desc;
        const size_t span = std::min(c.frames, c.fade);
        const size_t silent = span / 8;
        float previous = 1.0F;
        for (size_t f = 0; f < c.frames; ++f) {
            const float value = samples[f * static_cast<size_t>(c.channels)];
            // Every channel of a frame gets the same gain.
            for (int ch = 1; ch < c.channels; ++ch)
                EXPECT_EQ(samples[f * static_cast<size_t>(c.channels) + static_cast<size_t>(ch)], value) << c.desc;
            if (f < c.frames - span) {
                EXPECT_EQ(value, 1.0F) << c.desc << ": frame " << f << " before the fade";
            } else if (f >= c.frames - silent) {
                EXPECT_EQ(value, 0.0F) << c.desc << ": frame " << f << " in the silent end";
            } else {
                EXPECT_GT(value, 0.0F) << c.desc << ": frame " << f;
                EXPECT_LT(value, previous) << c.desc << ": frame " << f << " does not fall";
            }
            previous = value;
        }
    }
}

TEST(FadeOut, NothingToFade) {
    std::vector<float> empty;
    ruvo::audio::FadeOut(empty, 2, 100);
    EXPECT_TRUE(empty.empty());
    std::vector<float> samples = Constant(10, 2);
    ruvo::audio::FadeOut(samples, 2, 0);
    EXPECT_EQ(samples, Constant(10, 2));
}

TEST(DropLeadingSilence, DropsQuietFramesUpToTheMost) {
    struct Case {
        const char* desc;
        std::vector<float> samples;
        int channels;
        size_t most;
        size_t dropped;
    };
    const float q = 0.001F;  // below the level
    const float loud = 0.5F;
    for (const Case& c : std::vector<Case>{
             {"quiet start", {q, q, -q, q, loud, loud, q, q}, 2, 10, 2},
             {"one loud channel ends it", {q, q, q, -loud, q, q}, 2, 10, 1},
             {"bounded by most", {q, q, q, q, q, q, loud, loud}, 2, 2, 2},
             {"loud at once", {loud, q, q, q}, 2, 10, 0},
             {"all quiet: all dropped", {q, q, q}, 1, 10, 3},
             {"mono", {q, -q, loud, q}, 1, 10, 2},
             {"empty", {}, 2, 10, 0},
         }) {
        std::vector<float> samples = c.samples;
        EXPECT_EQ(ruvo::audio::DropLeadingSilence(samples, c.channels, c.most, 0.01F), c.dropped) << c.desc;
        const size_t cut = c.dropped * static_cast<size_t>(c.channels);
        EXPECT_EQ(samples, std::vector<float>(c.samples.begin() + static_cast<long>(cut), c.samples.end())) << c.desc;
    }
}

TEST(TrimEnd, TakesThePrimingOffOnlyWhenTwiceAsMuchRemains) {
    struct Case {
        size_t frames;
        int channels;
        size_t trim;
        bool trimmed;
        size_t left;
    };
    for (const Case c : {Case{100, 2, 10, true, 90}, Case{21, 1, 10, true, 11}, Case{20, 1, 10, false, 20},
                         Case{5, 2, 10, false, 5}, Case{0, 2, 10, false, 0}}) {
        std::vector<float> samples = Constant(c.frames, c.channels);
        EXPECT_EQ(ruvo::audio::TrimEnd(samples, c.channels, c.trim), c.trimmed) << c.frames;
        EXPECT_EQ(samples.size(), c.left * static_cast<size_t>(c.channels)) << c.frames;
    }
}

TEST(CleanTitle, ControlCharactersBecomeSpacesAndLongTitlesAreCutBetweenCharacters) {
    struct Case {
        const char* desc;
        std::string in;
        std::string out;
    };
    const std::string a255(255, 'a');
    const std::string bell254 = [] {
        std::string s;
        for (int i = 0; i < 254; ++i) s += "铃";
        return s;
    }();
    for (const Case& c : std::vector<Case>{
             {"plain", "Evening Bells", "Evening Bells"},
             {"quotes, brackets, backslash stay", R"("x" [y] {z} \ é)", R"("x" [y] {z} \ é)"},
             {"line breaks and tabs", "one\ntwo\r\nthree\tfour", "one two  three four"},
             {"other C0, DEL and C1", std::string("a\x01") + "b\x7f" + "c\xc2\x85" + "d\xc2\x9f", "a b c d "},
             {"not C1: U+00A0 stays", "a\xc2\xa0z", "a\xc2\xa0z"},
             {"255 characters kept", a255, a255},
             {"2,000,000 characters cut to 255", std::string(2000000, 'a'), a255},
             {"never inside a character", std::string(254, 'a') + "铃铃铃", std::string(254, 'a') + "铃"},
             {"wide characters count as one", bell254 + "铃铃", bell254 + "铃"},
             {"a broken sequence counts byte by byte", "x\xe9\x93y", "x\xe9\x93y"},
             {"empty", "", ""},
         }) {
        EXPECT_EQ(CleanTitle(c.in), c.out) << c.desc;
    }
    EXPECT_EQ(ruvo::audio::TitleFromName("/music/My\nSong.final.mp3"), "My Song.final");
}

}  // namespace
