// RuvoWindow: the main window: one fixed-size, undecorated, skinned window showing the controller's state, and its About box.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IRuvoView.h"
#include "SkinControls.h"

// What the window's owner does for it.
struct RuvoWindowActions {
    // The close button and the window manager's close request (Alt+F4, a taskbar's Close).
    std::function<void()> close;
    // The download button (shown while the phone support is missing).
    std::function<void()> download;
    // Whether files dropped now would be taken; with explain, the owner also says why not.
    std::function<bool(bool explain)> canDrop;
    // Local files dropped on the window (their paths, in order); whether they were taken.
    std::function<bool(const std::vector<std::string>& paths)> drop;
};

// The window is 680 × 527, titled "zive", drawn from the program's pictures at fixed positions:
//   background (0, 0, 680, 527), title strip (0, 0, 680, 76), panel (1, 77, 678, 417),
//   minimise (602, 0, 26, 30), close (639, 0, 26, 30), download (63, 220, 132, 182),
//   busy blink (280, 277, 125, 28), status line (15, 499, 400, 28).
// Files dropped anywhere on the window (a file list, or text/uri-list of file: addresses) go to
// the owner's drop action; while it would not take them, the pointer shows the refusal.
// Only the three buttons take the pointer. A left press on the title strip (y < 76) that is not
// on a button moves the window; a right press there, the Menu key or Shift+F10 opens a menu with
// the About item. No key closes the window or the About box.
//
// Made, used and destroyed on the loop thread (GLib's default context).
class RuvoWindow : public IRuvoView {
public:
    RuvoWindow(GtkApplication* application, RuvoWindowActions actions);
    ~RuvoWindow() override;

    RuvoWindow(const RuvoWindow&) = delete;
    RuvoWindow& operator=(const RuvoWindow&) = delete;

    GtkWindow* Window() const { return m_window; }
    // Shows the window (its pictures are loaded by then) or brings it to the front.
    void Present();

    void SetStatePicture(int state) override;
    void SetStatusText(const std::u16string& text) override;
    void SetBusy(bool busy) override;
    void ShowBlinkPhase(int phase) override;

    // The About box, modal over the window; one at a time.
    void OpenAbout();
    GtkWindow* About() const { return m_about; }

    // The controls, for tests.
    CMyStatic& Panel() { return m_panel; }
    CMyStatic& Blink() { return m_blink; }
    CMyTextStatic& Status() { return m_status; }
    CXPButton& CloseButton() { return m_closeButton; }
    CXPButton& DownloadButton() { return m_download; }
    GtkDropTarget* DropTarget() const { return m_dropTarget; }

    static constexpr int kWidth = 680;
    static constexpr int kHeight = 527;
    static constexpr int kTitleStripHeight = 76;

private:
    void Place(GtkWidget* widget, int x, int y, int width, int height);
    void OnPointerPress(GtkGestureClick* gesture, double x, double y);
    void OpenMenu(double x, double y);
    bool IsButton(GtkWidget* widget) const;
    bool OnDrop(const GValue* value);

    RuvoWindowActions m_actions;
    GtkWindow* m_window = nullptr;
    GtkWidget* m_fixed = nullptr;
    GtkWidget* m_menuButton = nullptr;
    GtkWindow* m_about = nullptr;
    GtkDropTarget* m_dropTarget = nullptr;
    CMyStatic m_background;
    CMyTextStatic m_titleStrip;
    CMyStatic m_panel;
    CMyStatic m_blink;
    CXPButton m_download;
    CXPButton m_minimise;
    CXPButton m_closeButton;
    CMyTextStatic m_status;
};
