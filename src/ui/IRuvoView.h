// IRuvoView: what the controller shows: the panel's state, the status line and the busy blink.
#pragma once

#include <string>

// The panel states of the main window.
inline constexpr int kPanelSupportMissing = 0;
inline constexpr int kPanelWaiting = 1;
inline constexpr int kPanelConnected = 2;

// A view of the controller: the window, or the headless log. Called on the loop thread only.
class IRuvoView {
public:
    virtual ~IRuvoView() = default;

    // The middle panel (kPanel*); support missing also offers the download button.
    virtual void SetStatePicture(int state) = 0;
    virtual void SetStatusText(const std::u16string& text) = 0;
    // The busy display: on while a command runs, with its blink picture; phase alternates 0/1
    // every blink tick while it is on.
    virtual void SetBusy(bool busy) = 0;
    virtual void ShowBlinkPhase(int phase) = 0;
};
