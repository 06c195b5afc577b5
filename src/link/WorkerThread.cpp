// WorkerThread: detached worker threads, counted so that tests can wait for them to end.
#include "WorkerThread.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct WorkerCount {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};

// Never destroyed: a worker may still end while the process exits.
WorkerCount& Count() {
    static auto* count = new WorkerCount;
    return *count;
}

}  // namespace

bool StartWorkerThread(std::function<void()> procedure) {
    WorkerCount& count = Count();
    {
        std::scoped_lock lock(count.mutex);
        ++count.running;
    }
    try {
        std::thread([procedure = std::move(procedure), &count] {
            // The thread's exception barrier: whatever escapes a worker ends that worker, never
            // the program. (Procedures with an answer to give catch their own first.)
            try {
                procedure();
            } catch (...) {
            }
            std::scoped_lock lock(count.mutex);
            --count.running;
            count.ended.notify_all();
        }).detach();
        return true;
    } catch (const std::system_error&) {
        std::scoped_lock lock(count.mutex);
        --count.running;
        count.ended.notify_all();
        return false;
    }
}

int RunningWorkerThreads() {
    WorkerCount& count = Count();
    std::scoped_lock lock(count.mutex);
    return count.running;
}

bool WaitForWorkerThreads(std::chrono::milliseconds bound) {
    WorkerCount& count = Count();
    std::unique_lock lock(count.mutex);
    return count.ended.wait_for(lock, bound, [&] { return count.running == 0; });
}
