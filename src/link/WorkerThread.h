// WorkerThread: starts the link's short-lived worker threads (poll cycles, commands), which are never joined.
#pragma once

#include <chrono>
#include <functional>

// Starts the procedure on a new detached thread with the default stack size; false when no
// thread could be made (the procedure then does not run). The program never waits for these
// threads: they end on their own, or with the process.
bool StartWorkerThread(std::function<void()> procedure);

// The worker threads started and not yet ended.
int RunningWorkerThreads();

// Waits until no worker thread runs, at most the given time; whether none runs. For tests, which
// must not end a process while a worker still uses what the test tears down.
bool WaitForWorkerThreads(std::chrono::milliseconds bound);
