// ruvo: the assistant: the controller on the main loop, with its window (one per session) or headless, ending on SIGINT or SIGTERM as a close would.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtk/gtk.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "CRuvoApp.h"
#include "CRuvoDlg.h"
#include "GLibMainLoop.h"
#include "HeadlessView.h"
#include "VirtualPhoneOption.h"

namespace {

const char kUsage[] =
    "usage: ruvo [--headless] [--virtual-phone DIR | --usb] [--no-report]\n"
    "\n"
    "Installs ringtones onto the connected phone on behalf of its companion ringtone app.\n"
    "\n"
    "Opens its window (one per desktop session: a second start brings the first one's\n"
    "window to the front) unless --headless is given or there is no display.\n"
    "\n"
    "  --headless           run without a window: every change of the connection state,\n"
    "                       the status text and the busy display is one timed line on\n"
    "                       standard error\n"
    "  --virtual-phone DIR  serve the virtual phone in DIR (made like \"ruvo-phone init DIR\"\n"
    "                       when DIR does not exist) and plug it in at start\n"
    "  --usb                serve only the phones plugged in over USB (through usbmuxd)\n"
    "  --no-report          record usage events in the record file but post no report\n"
    "  --help               print this help\n"
    "\n"
    "SIGINT or SIGTERM end it like closing the window: the exit event is recorded first.\n";

struct Options {
    bool headless = false;
    bool noReport = false;
    bool usb = false;
    std::string virtualPhone;
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "ruvo: %s (try --help)\n", message.c_str());
    return 2;
}

// The controller, once it exists (the window run makes it later, on its first command line).
std::atomic<CRuvoDlg*> g_controller{nullptr};

// Waits for SIGINT or SIGTERM (blocked in every thread) and ends the program as the window's
// close does: the exit event is recorded and the record saved, and then the process ends at
// once, without waiting for worker threads or a report in flight.
void WaitForEndSignal(sigset_t signals) {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {}
    if (CRuvoDlg* dialog = g_controller.load()) dialog->OnCancel();
    std::fflush(stderr);
    std::_Exit(0);
}

// What the download button opens: RUVO_DOWNLOAD_URL, else the README that says how to get the
// support libraries: the installed one, or the source tree's for a program in its build tree.
std::string DownloadUrl() {
    if (const char* url = std::getenv("RUVO_DOWNLOAD_URL"); url && *url) return url;
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    fs::path readme = program.parent_path().parent_path() / "share" / "doc" / "ruvo" / "README.md";
    if (error || !fs::exists(readme)) readme = RUVO_SOURCE_README;
    GFile* file = g_file_new_for_path(readme.c_str());
    char* uri = g_file_get_uri(file);
    std::string text = uri ? uri : "";
    g_free(uri);
    g_object_unref(file);
    return text;
}

// The headless run: the controller with the timed lines as its only view.
int RunHeadless() {
    GLibMainLoop loop;
    HeadlessView view(stderr);
    CRuvoDlg dialog(loop, view);
    g_controller = &dialog;
    dialog.OnInitDialog();
    loop.Run();
    return 0;
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
        } else if (arg == "--usb") {
            options.usb = true;
        } else if (arg == "--virtual-phone") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return Usage("--virtual-phone needs a directory");
            options.virtualPhone = argv[++i];
        } else {
            return Usage("unknown option '" + arg + "'");
        }
    }

    if (options.usb && !options.virtualPhone.empty()) return Usage("--usb and --virtual-phone exclude each other");

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
    // The phones served: the virtual one given, or the USB ones; without either option,
    // RUVO_DEVICE_DRIVER decides (both drivers by default).
    if (!options.virtualPhone.empty()) setenv("RUVO_DEVICE_DRIVER", "virtual", 1);
    if (options.usb) setenv("RUVO_DEVICE_DRIVER", "usb", 1);
    const auto prepare = [&options] {
        if (options.virtualPhone.empty()) return true;
        std::string error;
        if (PrepareVirtualPhone(options.virtualPhone, error)) return true;
        std::fprintf(stderr, "ruvo: %s\n", error.c_str());
        return false;
    };
    // The signals end the run whenever they come; the controller is closed once there is one.
    std::thread(WaitForEndSignal, endSignals).detach();

    if (!options.headless) {
        if (gtk_init_check()) {
            CRuvoApp::Hooks hooks;
            hooks.prepare = prepare;
            hooks.started = [](CRuvoDlg* dialog) { g_controller = dialog; };
            hooks.downloadUrl = DownloadUrl();
            return CRuvoApp::Run(argc, argv, hooks);
        }
        std::fputs("ruvo: no display: running headless\n", stderr);
    }
    if (!prepare()) return 1;
    return RunHeadless();
}
