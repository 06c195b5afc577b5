// RuvoWindow: the controls on a GtkFixed, the title strip's move and menu, the About box.
#include "RuvoWindow.h"

namespace {

constexpr char kTitle[] = "zive";
constexpr char kAboutTitle[] = "关于 Ruvo";
constexpr char kAboutLine[] = "Ruvo，1.0 版";
constexpr char kAboutOk[] = "确定";
constexpr char kAboutItem[] = "关于 Ruvo(_A)...";
constexpr char kIconName[] = "org.ruvo.Ruvo";
// The status line's face: the system's own name for it; the installed CJK font draws it.
constexpr char kStatusFace[] = "微软雅黑";
constexpr int kStatusHeight = 21;

// Picture numbers.
constexpr unsigned kBackground = 142;
constexpr unsigned kPanelWaitingPicture = 134;
constexpr unsigned kPanelConnectedPicture = 131;
constexpr unsigned kPanelMissingPicture = 144;
constexpr unsigned kMinimiseNormal = 132, kMinimiseHover = 145;
constexpr unsigned kCloseNormal = 129, kCloseHover = 130;
constexpr unsigned kDownloadNormal = 149, kDownloadHover = 146;
constexpr unsigned kBlinkFirst = 147, kBlinkSecond = 148;
constexpr unsigned kAboutIcon = 128;

}  // namespace

RuvoWindow::RuvoWindow(GtkApplication* application, RuvoWindowActions actions)
    : m_actions(std::move(actions)),
      m_download([this] {
          if (m_actions.download) m_actions.download();
      }),
      m_minimise([this] { gtk_window_minimize(m_window); }),
      m_closeButton([this] {
          if (m_actions.close) m_actions.close();
      }) {
    RegisterRuvoResources();
    m_window = GTK_WINDOW(gtk_application_window_new(application));
    gtk_window_set_title(m_window, kTitle);
    gtk_window_set_decorated(m_window, FALSE);
    gtk_window_set_resizable(m_window, FALSE);
    gtk_window_set_default_size(m_window, kWidth, kHeight);
    gtk_window_set_icon_name(m_window, kIconName);
    // The window manager's close request is the close button's: the owner ends the process.
    g_signal_connect_swapped(m_window, "close-request", G_CALLBACK(+[](RuvoWindow* self) -> gboolean {
                                 if (self->m_actions.close) self->m_actions.close();
                                 return TRUE;
                             }),
                             this);

    m_fixed = gtk_fixed_new();
    gtk_widget_set_size_request(m_fixed, kWidth, kHeight);
    gtk_window_set_child(m_window, m_fixed);

    // Later children draw above earlier ones.
    m_background.LoadPng(kBackground);
    Place(m_background.Widget(), 0, 0, kWidth, kHeight);
    Place(m_titleStrip.Widget(), 0, 0, kWidth, kTitleStripHeight);
    m_panel.LoadPng(kPanelWaitingPicture);
    Place(m_panel.Widget(), 1, 77, 678, 417);
    m_blink.LoadPng(kBlinkSecond);
    Place(m_blink.Widget(), 280, 277, 125, 28);
    gtk_widget_set_visible(m_blink.Widget(), FALSE);
    m_download.LoadImages(kDownloadNormal, kDownloadHover);
    Place(m_download.Widget(), 63, 220, 132, 182);
    gtk_widget_set_visible(m_download.Widget(), FALSE);
    m_minimise.LoadImages(kMinimiseNormal, kMinimiseHover);
    Place(m_minimise.Widget(), 602, 0, 26, 30);
    m_closeButton.LoadImages(kCloseNormal, kCloseHover);
    Place(m_closeButton.Widget(), 639, 0, 26, 30);
    m_status.SetFace(kStatusFace, kStatusHeight);
    m_status.CreateLabelFont();
    Place(m_status.Widget(), 15, 499, 400, 28);

    // The menu of the title strip: a menu button of no size, moved to where the menu opens.
    GMenu* menu = g_menu_new();
    g_menu_append(menu, kAboutItem, "win.about");
    m_menuButton = gtk_menu_button_new();
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(m_menuButton), G_MENU_MODEL(menu));
    g_object_unref(menu);
    gtk_widget_set_can_target(m_menuButton, FALSE);
    gtk_widget_set_opacity(m_menuButton, 0);
    Place(m_menuButton, 0, 0, 1, 1);
    GSimpleActionGroup* group = g_simple_action_group_new();
    GSimpleAction* about = g_simple_action_new("about", nullptr);
    g_signal_connect_swapped(about, "activate", G_CALLBACK(+[](RuvoWindow* self) { self->OpenAbout(); }), this);
    g_action_map_add_action(G_ACTION_MAP(group), G_ACTION(about));
    g_object_unref(about);
    gtk_widget_insert_action_group(GTK_WIDGET(m_window), "win", G_ACTION_GROUP(group));
    g_object_unref(group);

    // Presses that no button took: the title strip's move and menu.
    GtkGesture* press = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(press), 0);
    g_signal_connect(press, "pressed", G_CALLBACK(+[](GtkGestureClick* gesture, int, double x, double y, RuvoWindow* self) {
                         self->OnPointerPress(gesture, x, y);
                     }),
                     this);
    gtk_widget_add_controller(m_fixed, GTK_EVENT_CONTROLLER(press));

    // The keyboard's menu keys open the same menu, at the title strip.
    GtkEventController* keys = gtk_shortcut_controller_new();
    gtk_shortcut_controller_set_scope(GTK_SHORTCUT_CONTROLLER(keys), GTK_SHORTCUT_SCOPE_GLOBAL);
    GtkShortcutAction* open = gtk_callback_action_new(
        +[](GtkWidget*, GVariant*, gpointer data) -> gboolean {
            static_cast<RuvoWindow*>(data)->OpenMenu(24, kTitleStripHeight / 2);
            return TRUE;
        },
        this, nullptr);
    gtk_shortcut_controller_add_shortcut(
        GTK_SHORTCUT_CONTROLLER(keys),
        gtk_shortcut_new(gtk_alternative_trigger_new(gtk_keyval_trigger_new(GDK_KEY_Menu, GdkModifierType(0)),
                                                     gtk_keyval_trigger_new(GDK_KEY_F10, GDK_SHIFT_MASK)),
                         open));
    gtk_widget_add_controller(GTK_WIDGET(m_window), keys);

    // Files dropped on the window. GTK turns text/uri-list into a file list itself.
    m_dropTarget = gtk_drop_target_new(G_TYPE_INVALID, GDK_ACTION_COPY);
    GType types[] = {GDK_TYPE_FILE_LIST, G_TYPE_FILE};
    gtk_drop_target_set_gtypes(m_dropTarget, types, G_N_ELEMENTS(types));
    g_signal_connect(m_dropTarget, "enter", G_CALLBACK(+[](GtkDropTarget*, double, double, RuvoWindow* self) {
                         const bool can = self->m_actions.canDrop && self->m_actions.canDrop(true);
                         return can ? GDK_ACTION_COPY : GdkDragAction(0);
                     }),
                     this);
    g_signal_connect(m_dropTarget, "motion", G_CALLBACK(+[](GtkDropTarget*, double, double, RuvoWindow* self) {
                         const bool can = self->m_actions.canDrop && self->m_actions.canDrop(false);
                         return can ? GDK_ACTION_COPY : GdkDragAction(0);
                     }),
                     this);
    g_signal_connect(m_dropTarget, "drop",
                     G_CALLBACK(+[](GtkDropTarget*, const GValue* value, double, double, RuvoWindow* self) -> gboolean {
                         return self->OnDrop(value);
                     }),
                     this);
    gtk_widget_add_controller(GTK_WIDGET(m_window), GTK_EVENT_CONTROLLER(m_dropTarget));
}

bool RuvoWindow::OnDrop(const GValue* value) {
    std::vector<std::string> paths;
    const auto take = [&paths](GFile* file) {
        // Only local files: an address without a path (http:, a mount not in the file system) is
        // not one.
        if (char* path = file ? g_file_get_path(file) : nullptr) {
            paths.emplace_back(path);
            g_free(path);
        }
    };
    if (G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) {
        GSList* files = gdk_file_list_get_files(static_cast<GdkFileList*>(g_value_get_boxed(value)));
        for (GSList* item = files; item; item = item->next) take(G_FILE(item->data));
        g_slist_free(files);
    } else if (G_VALUE_HOLDS(value, G_TYPE_FILE)) {
        take(G_FILE(g_value_get_object(value)));
    }
    if (!m_actions.drop) return false;
    if (paths.empty()) {
        if (m_actions.canDrop) m_actions.canDrop(true);
        return false;
    }
    return m_actions.drop(paths);
}

RuvoWindow::~RuvoWindow() {
    if (m_about) gtk_window_destroy(m_about);
    if (m_window) gtk_window_destroy(m_window);
}

void RuvoWindow::Place(GtkWidget* widget, int x, int y, int width, int height) {
    gtk_widget_set_size_request(widget, width, height);
    gtk_fixed_put(GTK_FIXED(m_fixed), widget, x, y);
}

void RuvoWindow::Present() { gtk_window_present(m_window); }

void RuvoWindow::SetStatePicture(int state) {
    const unsigned picture = state == kPanelSupportMissing ? kPanelMissingPicture
                             : state == kPanelConnected    ? kPanelConnectedPicture
                                                           : kPanelWaitingPicture;
    m_panel.LoadPng(picture);
    gtk_widget_set_visible(m_download.Widget(), state == kPanelSupportMissing);
}

void RuvoWindow::SetStatusText(const std::u16string& text) { m_status.SetText(text); }

void RuvoWindow::SetBusy(bool busy) { gtk_widget_set_visible(m_blink.Widget(), busy); }

void RuvoWindow::ShowBlinkPhase(int phase) { m_blink.LoadPng(phase != 0 ? kBlinkSecond : kBlinkFirst); }

bool RuvoWindow::IsButton(GtkWidget* widget) const {
    for (GtkWidget* w = widget; w && w != m_fixed; w = gtk_widget_get_parent(w))
        if (w == m_minimise.Widget() || w == m_closeButton.Widget() || w == m_download.Widget()) return true;
    return false;
}

void RuvoWindow::OnPointerPress(GtkGestureClick* gesture, double x, double y) {
    if (y >= kTitleStripHeight || IsButton(gtk_widget_pick(m_fixed, x, y, GTK_PICK_DEFAULT))) return;
    const guint button = gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture));
    if (button == GDK_BUTTON_SECONDARY) {
        OpenMenu(x, y);
        return;
    }
    if (button != GDK_BUTTON_PRIMARY) return;
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(m_window));
    if (!surface || !GDK_IS_TOPLEVEL(surface)) return;
    // The move is the window manager's from here on; the press is given up so that no gesture
    // waits for a release that goes elsewhere.
    double wx = 0, wy = 0, sx = 0, sy = 0;
    gtk_widget_translate_coordinates(m_fixed, GTK_WIDGET(m_window), x, y, &wx, &wy);
    gtk_native_get_surface_transform(GTK_NATIVE(m_window), &sx, &sy);
    GdkDevice* device = gtk_gesture_get_device(GTK_GESTURE(gesture));
    const guint32 time = gtk_event_controller_get_current_event_time(GTK_EVENT_CONTROLLER(gesture));
    gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_DENIED);
    gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), device, static_cast<int>(button), wx + sx, wy + sy, time);
}

void RuvoWindow::OpenMenu(double x, double y) {
    gtk_fixed_move(GTK_FIXED(m_fixed), m_menuButton, x, y);
    gtk_menu_button_popup(GTK_MENU_BUTTON(m_menuButton));
}

void RuvoWindow::OpenAbout() {
    if (m_about) {
        gtk_window_present(m_about);
        return;
    }
    m_about = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(m_about, kAboutTitle);
    gtk_window_set_transient_for(m_about, m_window);
    gtk_window_set_modal(m_about, TRUE);
    gtk_window_set_resizable(m_about, FALSE);
    gtk_window_set_icon_name(m_about, kIconName);

    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
    gtk_widget_set_margin_start(row, 20);
    gtk_widget_set_margin_end(row, 20);
    gtk_widget_set_margin_top(row, 20);
    gtk_widget_set_margin_bottom(row, 20);
    GtkWidget* icon = gtk_picture_new();
    if (const ruvo::GObjectRef<GdkTexture> texture = LoadPicture(kAboutIcon))
        gtk_picture_set_paintable(GTK_PICTURE(icon), GDK_PAINTABLE(texture.Get()));
    gtk_widget_set_size_request(icon, 64, 64);
    gtk_box_append(GTK_BOX(row), icon);
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 16);
    gtk_box_append(GTK_BOX(column), gtk_label_new(kAboutLine));
    GtkWidget* ok = gtk_button_new_with_label(kAboutOk);
    gtk_widget_set_halign(ok, GTK_ALIGN_END);
    g_signal_connect_swapped(ok, "clicked", G_CALLBACK(gtk_window_destroy), m_about);
    gtk_box_append(GTK_BOX(column), ok);
    gtk_box_append(GTK_BOX(row), column);
    gtk_window_set_child(m_about, row);
    g_signal_connect_swapped(m_about, "destroy", G_CALLBACK(+[](RuvoWindow* self) { self->m_about = nullptr; }), this);
    gtk_window_set_default_widget(m_about, ok);
    gtk_window_present(m_about);
}
