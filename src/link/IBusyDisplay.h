// IBusyDisplay: the busy display that the link state's holder provides, shown while a command runs.
#pragma once

#include <string>

// The busy display of the state's holder: the main window blinks while a command runs.
class IBusyDisplay {
public:
    virtual ~IBusyDisplay() = default;
    virtual void ShowBusy() = 0;
    virtual void HideBusy() = 0;
    // A long step of a command (making a ringtone of the app's audio) shows its text on the status
    // line, replaced by each later call, until EndActivity gives the line back to the connection
    // text. Any thread.
    virtual void ShowActivity(const std::u16string& text) { (void)text; }
    virtual void EndActivity() {}
};
