// Tests of the program's main loop on GLib: tasks posted from many threads run on the loop thread in the
// order each thread posted them, and timers tick until stopped, also from their own tick.
#include "GLibMainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(GLibMainLoop, PostedTasksRunOnTheLoopThreadInOrder) {
    GLibMainLoop loop;
    const std::thread::id loopThread = std::this_thread::get_id();
    constexpr int kThreads = 4;
    constexpr int kTasks = 500;
    // Touched by the loop thread alone.
    std::vector<std::vector<int>> seen(kThreads);
    int done = 0;
    bool offThread = false;

    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i) {
                loop.Post([&, t, i] {
                    offThread = offThread || std::this_thread::get_id() != loopThread;
                    seen[t].push_back(i);
                    if (++done == kThreads * kTasks) loop.Quit();
                });
            }
        });
    }
    loop.Run();
    for (auto& poster : posters) poster.join();

    EXPECT_FALSE(offThread);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasks)) << t;
        for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[t][i], i) << t;
    }
}

TEST(GLibMainLoop, TimersTickUntilStoppedEvenFromTheirOwnTick) {
    GLibMainLoop loop;
    int fast = 0;
    int slow = 0;
    loop.StartTimer(1, 5, [&] {
        if (++fast == 3) loop.StopTimer(1);
    });
    // Restarting an id replaces its timer: the first tick function never runs.
    loop.StartTimer(2, 5, [&] { ADD_FAILURE() << "replaced timer ticked"; });
    loop.StartTimer(2, 20, [&] {
        if (++slow == 4) {
            loop.StopTimer(2);
            loop.Quit();
        }
    });
    loop.Run();
    EXPECT_EQ(fast, 3);
    EXPECT_EQ(slow, 4);
    // Stopping a timer that does not run changes nothing.
    loop.StopTimer(1);
    loop.StopTimer(7);
}

}  // namespace
