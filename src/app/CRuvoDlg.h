// CRuvoDlg: the assistant's controller: start-up, device events, the poll timer, the busy display and the close; the window and the headless log are its views.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "CLinkState.h"
#include "IBusyDisplay.h"
#include "IMainLoop.h"
#include "IRuvoView.h"

// Holds the link state (g_mainDialog points here while it lives) and runs on the loop thread:
// device events and busy changes from other threads are handed to the loop and handled there in
// order, and the two timers (1: the poll tick, 2: the busy blink) tick there. Exactly one exists
// in a program; it is made on the loop thread.
class CRuvoDlg : public CLinkState, private IBusyDisplay {
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
    // On the loop thread: timer 1 starts a poll cycle, timer 2 blinks.
    void OnTimer(int id);
    // The close (from any thread, once): records the exit event and saves the record file.
    void OnCancel();

    // The user's documents folder with a trailing "/", empty when there is none.
    std::u16string DocumentsDir() const { return m_documentsDir; }

    static constexpr int kPollTimer = 1;
    static constexpr int kPollPeriodMs = 1000;
    static constexpr int kBlinkTimer = 2;
    static constexpr int kBlinkPeriodMs = 200;

private:
    // Called by BeginBusy and EndBusy on any thread; the display changes on the loop thread.
    void ShowBusy() override;
    void HideBusy() override;
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
    std::atomic<bool> m_closed{false};
};
