// ViewPair: one view made of two: every change goes to both (the window and the timed log lines).
#pragma once

#include "IRuvoView.h"

class ViewPair : public IRuvoView {
public:
    // Both are borrowed and outlive the pair; the first is told first.
    ViewPair(IRuvoView& first, IRuvoView& second) : m_first(first), m_second(second) {}

    void SetStatePicture(int state) override {
        m_first.SetStatePicture(state);
        m_second.SetStatePicture(state);
    }
    void SetStatusText(const std::u16string& text) override {
        m_first.SetStatusText(text);
        m_second.SetStatusText(text);
    }
    void SetBusy(bool busy) override {
        m_first.SetBusy(busy);
        m_second.SetBusy(busy);
    }
    void ShowBlinkPhase(int phase) override {
        m_first.ShowBlinkPhase(phase);
        m_second.ShowBlinkPhase(phase);
    }

private:
    IRuvoView& m_first;
    IRuvoView& m_second;
};
