// SyncSignal: the session's signal: a semaphore of maximum count 1 that the reader releases and the worker waits on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Releases while the signal is already set merge into one, as with a semaphore whose maximum
// count is 1. Waits are bounded.
class SyncSignal {
public:
    void Release();
    // True when the signal was taken, false when the bound passed first.
    bool Wait(std::chrono::milliseconds bound);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set = false;  // guarded by m_mutex
};
