// CRuvoDlg: the assistant's controller: start-up, device events, the poll timer, the busy display and the close; the window and the headless log are its views.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CLinkState.h"
#include "DropQueue.h"
#include "IBusyDisplay.h"
#include "IMainLoop.h"
#include "IRuvoView.h"

// Holds the link state (g_mainDialog points here while it lives) and runs on the loop thread:
// device events and busy changes from other threads are handed to the loop and handled there in
// order, and the two timers (1: the poll tick, 2: the busy blink) tick there. Exactly one exists
// in a program; it is made on the loop thread.
//
// The loop thread only decides and shows: the record file's load, the device manager's start
// (with its service check) and the companion-app discovery run on worker threads, which hand
// their results back to the loop in order. A connection's discovery decides nothing once the
// phone has gone (or connected anew) meanwhile: a "gone" that arrives while it runs wins.
class CRuvoDlg : public CLinkState, private IBusyDisplay, private DropQueue::Display {
public:
    // Both are borrowed and outlive the controller.
    CRuvoDlg(IMainLoop& loop, IRuvoView& view);
    ~CRuvoDlg() override;

    // Start-up: the documents folder, usage reporting with the start event, the waiting status
    // and the device manager (with this controller as the receiver of its events).
    bool OnInitDialog();

    // The device manager's callback (any thread): the event is handed to the loop; returns 1.
    static int DeviceEventEntry(int eventType, const char* text, int textLength, void* userData, int linkIndex);
    // On the loop thread: the reaction to an event of the current link or of the manager.
    void OnDeviceEvent(int eventType, const std::u16string& text, int linkIndex);
    // On the loop thread: the end of the discovery for the connection it was started for.
    void OnDiscovered(uint64_t connection);
    // On the loop thread: timer 1 starts a poll cycle, timer 2 blinks.
    void OnTimer(int id);
    // The close (from any thread, once): records the exit event and saves the record file, within
    // kExitSaveBound (the process ends right after; a save cut short leaves the old file whole).
    void OnCancel();

    // On the loop thread: whether files dropped now would be taken (a phone is connected); when
    // not, with explain, the status line says so for a while.
    bool CanTakeDrop(bool explain);
    // On the loop thread: files dropped on the window. Without a connected phone they are refused
    // (false) and the status line says so for a while; else each is added in turn to the current
    // phone, made into a ringtone first when it is other audio, on a worker thread, after the
    // files of earlier drops. The status line follows each file; no usage event is recorded.
    bool OnFilesDropped(const std::vector<std::string>& paths);

    // The user's documents folder with a trailing "/", empty when there is none (or before
    // start-up has found it).
    std::u16string DocumentsDir() const;

    static constexpr int kPollTimer = 1;
    static constexpr int kPollPeriodMs = 1000;
    static constexpr int kBlinkTimer = 2;
    static constexpr int kBlinkPeriodMs = 200;
    static constexpr int kNoticeTimer = 3;
    static constexpr int kNoticePeriodMs = 5000;
    static constexpr std::chrono::milliseconds kExitSaveBound{1500};

protected:
    // On a worker thread, one at a time: looks the companion apps up on the connected phone and
    // describes the phone for the reports.
    virtual void DiscoverCompanionApps();

private:
    // Start-up's work off the loop: the record file, reporting with the start event and the
    // device manager, in this order.
    void StartUp();
    void StartDiscovery(uint64_t connection);
    // Called by BeginBusy and EndBusy on any thread; the display changes on the loop thread.
    void ShowBusy() override;
    void HideBusy() override;
    void ShowActivity(const std::u16string& text) override;
    void EndActivity() override;
    // On the loop thread: a text shown on the status line for kNoticePeriodMs, then the connection
    // text again.
    void ShowNotice(const std::u16string& text);
    // The drop queue's display: the busy display and the status line, as for app commands.
    void BeginDropBusy() override;
    void EndDropBusy() override;
    void ShowDropActivity(const std::u16string& text) override;
    void ShowDropNotice(const std::u16string& text) override;
    void SetStatePicture(int state);
    void SetStatus(const std::u16string& eventText);
    // Runs the task now on the loop thread, else hands it to the loop.
    void OnLoop(std::function<void()> task);

    IMainLoop& m_loop;
    IRuvoView& m_view;
    const std::thread::id m_loopThread;
    std::u16string m_hostDescription;
    std::u16string m_documentsDir;
    int m_blinkPhase = 0;
    // Counts connections and removals of the current link (changed on the loop thread, read by
    // the discovery workers): a discovery whose connection is no longer the latest decides nothing.
    std::atomic<uint64_t> m_connection{0};
    std::mutex m_discoveryLock;
    mutable std::mutex m_documentsLock;
    std::atomic<bool> m_closed{false};
    // The status line's connection text (on the loop thread), shown again after an activity.
    std::u16string m_connectionText;
    bool m_connected = false;
    // Files dropped on the window, added one after another.
    DropQueue m_drops;
};
