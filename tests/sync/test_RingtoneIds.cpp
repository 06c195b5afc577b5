// The random texts and ids of the ringtone writer: MakeRandomText's shapes and draws, and the
// choice of a persistent id that occurs nowhere in the catalogue's text.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MakeRandomText.h"
#include "Medias.h"

namespace {

constexpr const char* kHex = "ABCDEF0123456789";
constexpr const char* kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

TEST(MakeRandomText, ShapesFollowLengthAlphabetAndPrefix) {
    struct Case {
        int length;
        const char* alphabet;
        const char* prefix;
        size_t size;
        std::string start;  // what the text begins with
    };
    const Case cases[] = {
        // A guid, a file name, digits of a persistent id.
        {16, kHex, "43MRZ4", 16, "43MRZ4"},
        {4, kLetters, nullptr, 4, ""},
        {5, "0123456789", nullptr, 5, ""},
        // A prefix longer than the text is left out; one as long as it is the whole text.
        {3, kHex, "ABCD", 3, ""},
        {4, kHex, "ABCD", 4, "ABCD"},
        // Nothing to draw.
        {0, kHex, nullptr, 0, ""},
        {-2, kHex, nullptr, 0, ""},
        {4, "", nullptr, 0, ""},
        {4, nullptr, nullptr, 0, ""},
    };
    for (const auto& c : cases) {
        const std::string text = MakeRandomText(c.length, c.alphabet, c.prefix);
        const std::string desc = std::to_string(c.length) + " " + (c.prefix ? c.prefix : "-");
        ASSERT_EQ(text.size(), c.size) << desc;
        EXPECT_EQ(text.substr(0, c.start.size()), c.start) << desc;
        for (char ch : text.substr(c.start.size()))
            EXPECT_NE(std::strchr(c.alphabet, ch), nullptr) << desc << ": " << text;
    }
}

// Guids drawn one after another within a second (as several additions in one second draw them)
// are all different.
TEST(MakeRandomText, DrawsInOneSecondDiffer) {
    std::set<std::string> guids;
    for (int i = 0; i < 1000; ++i) guids.insert(MakeRandomText(16, kHex, "43MRZ4"));
    EXPECT_EQ(guids.size(), 1000u);
}

// Several threads draw at once: every text is its own, and the generator's state stays whole.
TEST(MakeRandomText, ThreadsDrawingAtOnceGetTheirOwnTexts) {
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::vector<std::string>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&drawn, t] {
            for (int i = 0; i < kEach; ++i) drawn[t].push_back(MakeRandomText(16, kHex, "43MRZ4"));
        });
    for (auto& thread : threads) thread.join();
    std::set<std::string> all;
    for (const auto& texts : drawn) all.insert(texts.begin(), texts.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

// Every letter comes up about equally often: 26000 draws, 1000 expected each, a deviation of
// 200 is more than six standard deviations.
TEST(MakeRandomText, LettersAreDrawnEvenly) {
    std::map<char, int> counts;
    for (int i = 0; i < 1000; ++i)
        for (char ch : MakeRandomText(26, kLetters)) ++counts[ch];
    ASSERT_EQ(counts.size(), 26u);
    for (const auto& [letter, count] : counts) {
        EXPECT_GT(count, 800) << letter;
        EXPECT_LT(count, 1200) << letter;
    }
}

TEST(PersistentId, FirstCandidatesAreSixDigitsAndVary) {
    std::set<long long> firsts;
    for (int i = 0; i < 200; ++i) {
        const long long id = Medias::ChoosePersistentId(u"");
        EXPECT_GE(id, 100000);
        EXPECT_LE(id, 999999);
        firsts.insert(id);
    }
    // 200 draws from 900000 values: a repeat is rare, many repeats mean a stuck generator.
    EXPECT_GT(firsts.size(), 190u);
}

// From the first candidate up, the first one whose digits occur nowhere in the text.
TEST(PersistentId, CandidatesWhoseDigitsOccurAnywhereAreSkipped) {
    struct Case {
        const char* desc;
        std::string text;
        long long first;
        long long chosen;
    };
    const Case cases[] = {
        {"empty catalogue", "", 123456, 123456},
        {"a pid", R"({"PID":123456})", 123456, 123457},
        {"inside a longer number", R"({"PID":"91234569"})", 123456, 123457},
        {"inside a title", R"({"Name":"Tone123456a"})", 123456, 123457},
        {"after a zero", "0123456", 123456, 123457},
        {"a run of taken ones", "123456 123457,123458x123459", 123456, 123460},
        {"taken ones before the first do not matter", "123455 123454", 123456, 123456},
        {"a number that overlaps two runs is not one", "12345 6", 123456, 123456},
        {"two numbers in one run", "91234561234579", 123456, 123458},
        {"seven-digit numbers do not hide a free six-digit one", "1000000", 999999, 999999},
        {"past six digits", "999999", 999999, 1000000},
        {"seven digits taken too", "999999 1000000 1000001", 999999, 1000002},
    };
    for (const auto& c : cases) EXPECT_EQ(Medias::ChoosePersistentId(Wide(c.text), c.first), c.chosen) << c.desc;
}

// A catalogue whose text holds every six-digit number: the id is the first seven-digit one, found
// in one pass over the text rather than one search of it per candidate.
TEST(PersistentId, EverySixDigitNumberTakenStillGivesAFreeIdAtOnce) {
    std::u16string text = u"{\"PID\":[";
    for (long long n = 100000; n <= 999999; ++n) text += Wide(std::to_string(n)) + u",";
    text += u"0]}";
    const long long id = Medias::ChoosePersistentId(text);
    EXPECT_EQ(id, 1000000);
    EXPECT_EQ(text.find(Wide(std::to_string(id))), std::u16string::npos);
}

}  // namespace
