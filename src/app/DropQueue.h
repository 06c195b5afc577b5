// DropQueue: files dropped on the window, added to the connected phone one after another on a
// worker thread, each made into a ringtone first when it is other audio.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

class DropQueue {
public:
    // What the queue shows while it works; called on the worker thread.
    class Display {
    public:
        virtual ~Display() = default;
        // The busy display for a run of files: begun before the first, ended after the last.
        virtual void BeginDropBusy() = 0;
        virtual void EndDropBusy() = 0;
        // The status line shows a step of the current file, then a file's outcome for a while.
        virtual void ShowDropActivity(const std::u16string& text) = 0;
        virtual void ShowDropNotice(const std::u16string& text) = 0;
    };

    // The display is borrowed and outlives the queue.
    explicit DropQueue(Display& display) : m_display(display) {}
    DropQueue(const DropQueue&) = delete;
    DropQueue& operator=(const DropQueue&) = delete;

    // Queues the files after those of earlier drops and starts a worker when none runs; false when
    // none could start (the files are dropped again and the first one's failure is shown).
    bool Add(const std::vector<std::string>& paths);

private:
    // The worker: adds the waiting files until none waits.
    void Run();
    void AddFile(const std::string& path);

    Display& m_display;
    // Files not yet taken, and whether a worker is adding them.
    std::mutex m_lock;
    std::deque<std::string> m_waiting;
    bool m_worker = false;
};
