// The assistant's window run with files dropped on it in-process: the window test's drop scenarios
// start this in place of ruvo. It runs the window as ruvo does (with the virtual phone given) and,
// once the phone is connected (at once without a phone), emits the drop target's "enter" and
// "drop" signals with the files as a file list, printing what they answered on standard output:
//   enter: copy|none
//   drop: accepted|refused
// The timed lines go to standard error as ruvo's do. It runs until it is killed.
//
// usage: drop_driver [--virtual-phone DIR] FILE...
#include <gtk/gtk.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CRuvoApp.h"
#include "CRuvoDlg.h"
#include "RuvoWindow.h"
#include "VirtualPhoneOption.h"

namespace {

struct Driver {
    std::string phone;
    std::vector<std::string> files;
    CRuvoDlg* dialog = nullptr;
    RuvoWindow* window = nullptr;
    int ticks = 0;
};

void Drop(Driver& driver) {
    GtkDropTarget* target = driver.window->DropTarget();
    GdkDragAction action = GdkDragAction(0);
    g_signal_emit_by_name(target, "enter", 100.0, 200.0, &action);
    std::printf("enter: %s\n", action == GDK_ACTION_COPY ? "copy" : "none");

    std::vector<GFile*> files;
    for (const std::string& path : driver.files) files.push_back(g_file_new_for_path(path.c_str()));
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GDK_TYPE_FILE_LIST);
    g_value_take_boxed(&value, gdk_file_list_new_from_array(files.data(), files.size()));
    gboolean accepted = FALSE;
    g_signal_emit_by_name(target, "drop", &value, 100.0, 200.0, &accepted);
    g_value_unset(&value);
    for (GFile* file : files) g_object_unref(file);
    std::printf("drop: %s\n", accepted ? "accepted" : "refused");
    std::fflush(stdout);
}

// Every 100 ms until the drop is made: with a phone, its connection is waited for (30 s at most).
gboolean Tick(gpointer data) {
    auto& driver = *static_cast<Driver*>(data);
    if (!driver.window || !driver.dialog) return G_SOURCE_CONTINUE;
    const bool ready = driver.phone.empty() ? driver.ticks >= 5 : driver.dialog->CanTakeDrop(false);
    if (!ready && ++driver.ticks < 300) return G_SOURCE_CONTINUE;
    Drop(driver);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    static Driver driver;
    int i = 1;
    if (argc > 2 && std::string(argv[1]) == "--virtual-phone") {
        driver.phone = argv[2];
        i = 3;
    }
    for (; i < argc; ++i) driver.files.emplace_back(argv[i]);
    setenv("RUVO_NO_REPORT", "1", 1);
    setenv("RUVO_DEVICE_DRIVER", "virtual", 1);
    if (!gtk_init_check()) {
        std::fputs("drop_driver: no display\n", stderr);
        return 1;
    }
    CRuvoApp::Hooks hooks;
    hooks.prepare = [] {
        std::string error;
        if (driver.phone.empty() || PrepareVirtualPhone(driver.phone, error)) return true;
        std::fprintf(stderr, "drop_driver: %s\n", error.c_str());
        return false;
    };
    hooks.started = [](CRuvoDlg* dialog) { driver.dialog = dialog; };
    hooks.windowMade = [](RuvoWindow& window) {
        driver.window = &window;
        g_timeout_add(100, Tick, &driver);
    };
    // Only the program's name: the files are the driver's, not the application's.
    return CRuvoApp::Run(1, argv, hooks);
}
