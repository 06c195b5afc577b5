// IBusyDisplay: the busy display that the link state's holder provides, shown while a command runs.
#pragma once

// The busy display of the state's holder: the main window blinks while a command runs.
class IBusyDisplay {
public:
    virtual ~IBusyDisplay() = default;
    virtual void ShowBusy() = 0;
    virtual void HideBusy() = 0;
};
