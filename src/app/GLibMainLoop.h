// GLibMainLoop: the program's main loop on GLib: posted tasks in order and repeating timers on the default context.
#pragma once

#include <glib.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "IMainLoop.h"

// Posted tasks wait in a queue of our own (guarded by a std::mutex, so thread checkers see the
// hand-over) and an eventfd wakes the loop; the loop runs them in the order they were posted.
// Timers are GLib timeouts. Made, run and destroyed on the loop thread.
class GLibMainLoop : public IMainLoop {
public:
    GLibMainLoop();
    ~GLibMainLoop() override;

    GLibMainLoop(const GLibMainLoop&) = delete;
    GLibMainLoop& operator=(const GLibMainLoop&) = delete;

    void Post(std::function<void()> task) override;
    void StartTimer(int id, int periodMs, std::function<void()> tick) override;
    void StopTimer(int id) override;

    // Runs until Quit.
    void Run();
    // From any thread.
    void Quit();

private:
    static gboolean OnWake(gint fd, GIOCondition condition, gpointer self);
    void RunPosted();

    GMainLoop* m_loop;
    int m_wakeFd;
    guint m_wakeSource = 0;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;  // guarded by m_mutex
    std::map<int, guint> m_timers;              // loop thread only
};
