// ruvo: the assistant: runs the controller on the main loop, headless until there is a window, and ends on SIGINT or SIGTERM as a close would.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "CRuvoDlg.h"
#include "GLibMainLoop.h"
#include "HeadlessView.h"
#include "VirtualPhoneOption.h"

namespace {

const char kUsage[] =
    "usage: ruvo [--headless] [--virtual-phone DIR] [--no-report]\n"
    "\n"
    "Installs ringtones onto the connected phone on behalf of its companion ringtone app.\n"
    "\n"
    "  --headless           run without a window: every change of the connection state,\n"
    "                       the status text and the busy display is one timed line on\n"
    "                       standard error\n"
    "  --virtual-phone DIR  serve the virtual phone in DIR (made like \"ruvo-phone init DIR\"\n"
    "                       when DIR does not exist) and plug it in at start\n"
    "  --no-report          record usage events in the record file but post no report\n"
    "  --help               print this help\n"
    "\n"
    "SIGINT or SIGTERM end it like closing the window: the exit event is recorded first.\n";

struct Options {
    bool headless = false;
    bool noReport = false;
    std::string virtualPhone;
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "ruvo: %s (try --help)\n", message.c_str());
    return 2;
}

// Waits for SIGINT or SIGTERM (blocked in every thread) and ends the program as the window's
// close does: the exit event is recorded and the record saved, and then the process ends at
// once, without waiting for worker threads or a report in flight.
void WaitForEndSignal(sigset_t signals, CRuvoDlg* dialog) {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {}
    dialog->OnCancel();
    std::fflush(stderr);
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--no-report") {
            options.noReport = true;
        } else if (arg == "--virtual-phone") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return Usage("--virtual-phone needs a directory");
            options.virtualPhone = argv[++i];
        } else {
            return Usage("unknown option '" + arg + "'");
        }
    }

    // Before any thread starts, so that every thread inherits the mask and only the waiting
    // thread takes these signals.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    // A phone or report server that goes away mid-write is a failed write, not the end.
    signal(SIGPIPE, SIG_IGN);

    if (options.noReport) setenv("RUVO_NO_REPORT", "1", 1);
    if (!options.virtualPhone.empty()) {
        std::string error;
        if (!PrepareVirtualPhone(options.virtualPhone, error)) {
            std::fprintf(stderr, "ruvo: %s\n", error.c_str());
            return 1;
        }
    }
    if (!options.headless) std::fputs("ruvo: no window yet: running headless\n", stderr);

    GLibMainLoop loop;
    HeadlessView view(stderr);
    CRuvoDlg dialog(loop, view);
    std::thread(WaitForEndSignal, endSignals, &dialog).detach();
    dialog.OnInitDialog();
    loop.Run();
    return 0;
}
