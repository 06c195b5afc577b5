// CRuvoApp: GtkApplication's single instance, and the controller with the window and the timed lines as its views.
#include "CRuvoApp.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "CRuvoDlg.h"
#include "GLibMainLoop.h"
#include "HeadlessView.h"
#include "RuvoWindow.h"
#include "ViewPair.h"

namespace {

// Everything the first instance runs; made at its first command line, never destroyed (the
// process ends with std::_Exit).
struct Running {
    GLibMainLoop loop;
    HeadlessView log{stderr};
    std::unique_ptr<RuvoWindow> window;
    std::unique_ptr<ViewPair> views;
    std::unique_ptr<CRuvoDlg> dialog;
};

struct AppState {
    CRuvoApp::Hooks hooks;
    Running* running = nullptr;
};

// The end of the window: the controller's close (the exit event, the record's bounded save),
// then the process ends at once.
[[noreturn]] void EndProcess(Running* running) {
    running->dialog->OnCancel();
    std::fflush(stderr);
    std::_Exit(0);
}

void OpenUrl(const std::string& url) {
    if (url.empty()) return;
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
        std::fprintf(stderr, "ruvo: cannot open %s: %s\n", url.c_str(), error ? error->message : "no handler");
        g_clear_error(&error);
    }
}

int OnCommandLine(GApplication* application, GApplicationCommandLine*, AppState* state) {
    if (state->running) {
        // A later start of the session: its arguments are not acted on; the window comes forward.
        state->running->window->Present();
        return 0;
    }
    auto* running = new Running();
    state->running = running;
    const std::string url = state->hooks.downloadUrl;
    RuvoWindowActions actions;
    actions.close = [running] { EndProcess(running); };
    actions.download = [url] { OpenUrl(url); };
    actions.canDrop = [running](bool explain) { return running->dialog->CanTakeDrop(explain); };
    actions.drop = [running](const std::vector<std::string>& paths) { return running->dialog->OnFilesDropped(paths); };
    running->window = std::make_unique<RuvoWindow>(GTK_APPLICATION(application), actions);
    running->views = std::make_unique<ViewPair>(*running->window, running->log);
    running->dialog = std::make_unique<CRuvoDlg>(running->loop, *running->views);
    if (state->hooks.started) state->hooks.started(running->dialog.get());
    if (state->hooks.windowMade) state->hooks.windowMade(*running->window);
    // The first frame shows the waiting state: the controller sets it before the window shows.
    running->dialog->OnInitDialog();
    running->window->Present();
    // The window alone keeps the application; it is held for the process's whole life.
    g_application_hold(application);
    return 0;
}

GtkApplication* NewApplication(GApplicationFlags extra) {
    return gtk_application_new(kApplicationId,
                               static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_COMMAND_LINE | extra));
}

}  // namespace

int CRuvoApp::Run(int argc, char** argv, Hooks hooks) {
    GtkApplication* application = NewApplication(G_APPLICATION_DEFAULT_FLAGS);
    GError* error = nullptr;
    if (!g_application_register(G_APPLICATION(application), nullptr, &error)) {
        // No session bus to own the id on: this start runs alone.
        g_clear_error(&error);
        g_object_unref(application);
        application = NewApplication(G_APPLICATION_NON_UNIQUE);
        if (!g_application_register(G_APPLICATION(application), nullptr, &error)) {
            std::fprintf(stderr, "ruvo: %s\n", error ? error->message : "cannot start the application");
            g_clear_error(&error);
            return 1;
        }
    }
    if (g_application_get_is_remote(G_APPLICATION(application))) {
        // The first instance takes the command line and answers for it.
        g_application_run(G_APPLICATION(application), argc, argv);
        return 0;
    }
    if (hooks.prepare && !hooks.prepare()) return 1;
    static AppState state;
    state.hooks = std::move(hooks);
    g_signal_connect(application, "command-line", G_CALLBACK(OnCommandLine), &state);
    return g_application_run(G_APPLICATION(application), argc, argv);
}
