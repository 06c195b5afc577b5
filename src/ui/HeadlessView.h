// HeadlessView: the controller's view without a window: one timed line on standard error per change of what the window would show.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "IRuvoView.h"

// Each line is the local time with milliseconds, then what changed, in UTF-8 whatever the ANSI
// code page:
//   12:34:56.789 status: 连接状态：等待设备接入
//   12:34:56.789 panel: waiting            (or connected, support missing)
//   12:34:56.789 busy: on                  (or off)
// A call that changes nothing prints nothing; blink ticks are not shown. Each line is flushed.
// The status text carries the phone's name, which its owner chooses: control characters in it
// (escape sequences that would retitle or clear the terminal, line breaks that would forge a
// line) are printed as \xHH, so every change is exactly one line of plain text.
class HeadlessView : public IRuvoView {
public:
    explicit HeadlessView(std::FILE* out = stderr);

    void SetStatePicture(int state) override;
    void SetStatusText(const std::u16string& text) override;
    void SetBusy(bool busy) override;
    void ShowBlinkPhase(int phase) override;

    // The line's text after the time, e.g. "panel: connected".
    static std::string PanelLine(int state);
    // "status: " and the text in UTF-8, its control characters (C0, DEL, C1) as \xHH.
    static std::string StatusLine(const std::u16string& text);

private:
    void Print(const std::string& what);

    std::FILE* m_out;
    std::optional<int> m_state;
    std::optional<std::u16string> m_status;
    std::optional<bool> m_busy;
};
