// RingtoneTurn: one operation at a time per phone, phones independent of each other, and waits
// that end at their bound without leaving anything behind in the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RingtoneTurn.h"

namespace {

using std::chrono::milliseconds;

// Several threads (apps) take one phone's turn again and again and change shared, unguarded
// state inside it: nothing is lost and no two are ever inside at once (ThreadSanitizer would also
// see a race on the plain counters).
TEST(RingtoneTurn, OnePhoneRunsOneOperationAtATime) {
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    int inside = 0;
    int mostInside = 0;
    long long done = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                RingtoneTurn turn("00008030-001A2B3C4D5E6F70", std::chrono::seconds(60));
                ASSERT_TRUE(turn.Held());
                ++inside;
                mostInside = std::max(mostInside, inside);
                ++done;
                --inside;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(done, kThreads * kEach);
    EXPECT_EQ(mostInside, 1);
}

TEST(RingtoneTurn, WaitsEndAtTheirBoundAndOtherPhonesGoOn) {
    const std::string phone = "1111111111111111111111111111111111111111";
    auto holder = std::make_unique<RingtoneTurn>(phone, milliseconds(0));
    ASSERT_TRUE(holder->Held());

    // Another phone's turn does not wait for this one.
    RingtoneTurn other("2222222222222222222222222222222222222222", milliseconds(0));
    EXPECT_TRUE(other.Held());

    // This phone's turn does not come while it is held.
    EXPECT_FALSE(RingtoneTurn(phone, milliseconds(0)).Held());
    EXPECT_FALSE(RingtoneTurn(phone, milliseconds(50)).Held());

    // A waiter gets it once the holder is done; the ones that gave up are out of the line.
    std::thread waiter([&] {
        RingtoneTurn turn(phone, std::chrono::seconds(60));
        EXPECT_TRUE(turn.Held());
    });
    holder.reset();
    waiter.join();
    EXPECT_TRUE(RingtoneTurn(phone, milliseconds(0)).Held());
}

}  // namespace
