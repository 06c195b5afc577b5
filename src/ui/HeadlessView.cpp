// HeadlessView: timed change lines on standard error in place of the window.
#include "HeadlessView.h"

#include <chrono>
#include <ctime>

#include "TextEncoding.h"

HeadlessView::HeadlessView(std::FILE* out) : m_out(out) {}

std::string HeadlessView::PanelLine(int state) {
    switch (state) {
    case kPanelSupportMissing: return "panel: support missing";
    case kPanelConnected: return "panel: connected";
    default: return "panel: waiting";
    }
}

std::string HeadlessView::StatusLine(const std::u16string& text) {
    std::u16string shown;
    shown.reserve(text.size());
    for (const char16_t c : text) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            static const char kHex[] = "0123456789ABCDEF";
            for (const char16_t e : {u'\\', u'x', static_cast<char16_t>(kHex[c >> 4]), static_cast<char16_t>(kHex[c & 15])})
                shown.push_back(e);
        } else {
            shown.push_back(c);
        }
    }
    return "status: " + TextToUtf8(shown);
}

void HeadlessView::SetStatePicture(int state) {
    if (m_state == state) return;
    m_state = state;
    Print(PanelLine(state));
}

void HeadlessView::SetStatusText(const std::u16string& text) {
    if (m_status == text) return;
    m_status = text;
    Print(StatusLine(text));
}

void HeadlessView::SetBusy(bool busy) {
    if (m_busy == busy) return;
    m_busy = busy;
    Print(busy ? "busy: on" : "busy: off");
}

void HeadlessView::ShowBlinkPhase(int) {}

void HeadlessView::Print(const std::string& what) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(m_out, "%s.%03d %s\n", stamp, static_cast<int>(millis), what.c_str());
    std::fflush(m_out);
}
