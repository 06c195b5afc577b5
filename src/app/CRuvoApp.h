// CRuvoApp: the window run of the assistant: one instance per desktop session, its window and its controller.
#pragma once

#include <functional>
#include <string>

class CRuvoDlg;
class RuvoWindow;

// The application id, also the desktop file's and the icon's name.
inline constexpr char kApplicationId[] = "org.ruvo.Ruvo";

// The first window start of a session owns the application id on the session bus (GApplication);
// a later start forwards its command line to it, prints nothing, does nothing else and ends with
// status 0, and the first instance brings its window to the front (and otherwise ignores the
// arguments). Without a session bus each start runs alone.
class CRuvoApp {
public:
    struct Hooks {
        // Runs in the first instance only, before the window (the virtual phone's preparation);
        // false ends the run with status 1.
        std::function<bool()> prepare;
        // The controller, once it exists (the end signals' handler closes it).
        std::function<void(CRuvoDlg*)> started;
        // The window, once it exists (for tests that act on it in-process).
        std::function<void(RuvoWindow&)> windowMade;
        // What the download button opens.
        std::string downloadUrl;
    };

    // Runs the window on GLib's default context; the process's exit status. The display must be
    // open (gtk_init_check). The window's close ends the process (std::_Exit) after the
    // controller's close, without waiting for worker threads.
    static int Run(int argc, char** argv, Hooks hooks);
};
