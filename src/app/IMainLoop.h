// IMainLoop: the thread the controller runs on: ordered hand-over of work from other threads, and repeating timers.
#pragma once

#include <functional>

// The controller's whole life runs on one loop thread. Other threads (the device manager's, the
// poll cycle's, the command threads) hand work to it with Post; the loop runs the tasks one at
// a time in the order they were posted. Timers tick on the loop thread. The program's loop is
// GLib's main loop; tests drive the controller with a loop of their own.
class IMainLoop {
public:
    virtual ~IMainLoop() = default;

    // From any thread: runs the task on the loop thread after every task posted before it.
    virtual void Post(std::function<void()> task) = 0;

    // On the loop thread: starts the repeating timer with this id (replacing a running one of the
    // same id), or stops it; stopping a timer that does not run does nothing.
    virtual void StartTimer(int id, int periodMs, std::function<void()> tick) = 0;
    virtual void StopTimer(int id) = 0;
};
