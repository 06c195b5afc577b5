// CLinkState: the companion-app link state (one record per app found on the phone) and the busy marks.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "CJson.h"
#include "IBusyDisplay.h"

// Shared by the main loop (discovery), the poll-cycle thread and the command threads. The
// per-node locks of CJson guard the walks and the changes of single members; every change that
// spans several nodes (a poll cycle's read-modify-write of a record, a command's answer
// together with its busy mark, adding and removing records) holds the state's own lock, taken
// before any node lock. A record's "ThreadRun" member hands the record's request and response
// over between the poll cycle and its command thread, and a record whose command runs is
// never removed, so a command thread can keep its record while it works without the lock.
class CLinkState {
public:
    // display is borrowed and may be null (a holder without a display).
    explicit CLinkState(IBusyDisplay* display = nullptr);
    virtual ~CLinkState() = default;

    CLinkState(const CLinkState&) = delete;
    CLinkState& operator=(const CLinkState&) = delete;

    // Marks a command as running: "ThreadRun" of the state node (if given) becomes 1, then
    // the busy display shows.
    void BeginBusy(CJson* stateNode);
    // Marks a command as finished: "ThreadRun" of the state node (if given) becomes 0, then
    // the busy display hides, even when another app's command still runs.
    void EndBusy(CJson* stateNode);
    // A command's long step on the status line, and its end (see IBusyDisplay).
    void ShowActivity(const std::u16string& text) {
        if (m_display) m_display->ShowActivity(text);
    }
    void EndActivity() {
        if (m_display) m_display->EndActivity();
    }

    // A new app link record for the bundle identifier, in its initial content; the caller
    // attaches it to m_linkState.
    CJson* NewAppRecord(const std::u16string& bundleId) const;

    // Members of a record.
    static CJson* HeartbeatOf(CJson* record);
    static CJson* RequestOf(CJson* record);
    static CJson* ResponseOf(CJson* record);
    // The key-less holders whose first child is the current request or response.
    static CJson* RequestHolderOf(CJson* record);
    static CJson* ResponseHolderOf(CJson* record);
    static CJson* StateOf(CJson* record);

    // The lock of changes that span several nodes; recursive so that a holder may call
    // BeginBusy or EndBusy while it holds it.
    std::recursive_mutex& Lock() { return m_lock; }

    CJson m_linkState;
    // Touched by the poll-cycle threads and the window thread, hence atomic.
    std::atomic<int> m_polling{0};
    std::atomic<int> m_heartbeat{0};
    std::u16string m_linkVersion = u"7";

private:
    IBusyDisplay* m_display;
    std::recursive_mutex m_lock;
};

// The process-wide holder of the link state (the main window's controller); the command threads
// reach EndBusy and the state's lock through it. Set by the holder when it is created.
extern CLinkState* g_mainDialog;
