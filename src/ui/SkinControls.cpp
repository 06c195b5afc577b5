// SkinControls: pictures from the program's GResource on GtkPicture, the label drawn with Pango, the button's pointer states.
#include "SkinControls.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

#include "TextEncoding.h"

extern "C" void ruvo_resources_register_resource(void);

namespace {

constexpr char kPicturePath[] = "/org/ruvo/Ruvo/png/";

// A picture stretched over the widget; pictures and labels let the pointer through to the window.
GtkWidget* NewPictureWidget(bool takesPointer) {
    GtkWidget* picture = gtk_picture_new();
    gtk_picture_set_content_fit(GTK_PICTURE(picture), GTK_CONTENT_FIT_FILL);
    gtk_picture_set_can_shrink(GTK_PICTURE(picture), TRUE);
    gtk_widget_set_can_target(picture, takesPointer);
    return picture;
}

}  // namespace

void RegisterRuvoResources() {
    static std::once_flag once;
    std::call_once(once, [] { ruvo_resources_register_resource(); });
}

ruvo::GObjectRef<GdkTexture> LoadPicture(unsigned id) {
    RegisterRuvoResources();
    const std::string path = kPicturePath + std::to_string(id) + ".png";
    // Asking first keeps a missing number from being a GTK critical.
    if (!g_resources_get_info(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr, nullptr, nullptr))
        return ruvo::GObjectRef<GdkTexture>();
    return ruvo::GObjectRef<GdkTexture>(gdk_texture_new_from_resource(path.c_str()));
}

// --- CMyStatic ---------------------------------------------------------------------------------

CMyStatic::CMyStatic() : m_widget(NewPictureWidget(false)) {}

bool CMyStatic::LoadPng(unsigned id) {
    const ruvo::GObjectRef<GdkTexture> texture = LoadPicture(id);
    if (!texture) return false;
    // The picture holds its own reference to the texture.
    gtk_picture_set_paintable(GTK_PICTURE(m_widget), GDK_PAINTABLE(texture.Get()));
    m_id = id;
    return true;
}

// --- CMyTextStatic -----------------------------------------------------------------------------

CMyTextStatic::CMyTextStatic() : m_widget(gtk_drawing_area_new()) {
    gtk_widget_set_can_target(m_widget, FALSE);
    gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(m_widget), &CMyTextStatic::Draw, this, nullptr);
}

void CMyTextStatic::SetFace(const std::string& face, int height) {
    m_face = face;
    m_height = height;
}

void CMyTextStatic::CreateLabelFont() {
    if (m_font) pango_font_description_free(m_font);
    m_font = pango_font_description_from_string(m_face.c_str());
    pango_font_description_set_family(m_font, m_face.c_str());
    // The height is a line's: the font's size is chosen so that one line of "哈" is that high
    // in whatever face the fonts realise it with.
    pango_font_description_set_absolute_size(m_font, m_height * PANGO_SCALE);
    PangoLayout* layout = gtk_widget_create_pango_layout(m_widget, "哈");
    pango_layout_set_font_description(layout, m_font);
    int width = 0;
    int lineHeight = 0;
    pango_layout_get_pixel_size(layout, &width, &lineHeight);
    g_object_unref(layout);
    if (lineHeight > 0 && lineHeight != m_height)
        pango_font_description_set_absolute_size(m_font, static_cast<double>(m_height) * m_height / lineHeight *
                                                             PANGO_SCALE);
    gtk_widget_queue_draw(m_widget);
}

void CMyTextStatic::SetText(const std::u16string& text) {
    if (text == m_text) return;
    m_text = text;
    ++m_redraws;
    gtk_widget_queue_draw(m_widget);
}

namespace {

// The length of a trailing percent (" 42%", a progress), which a shortened line keeps whole;
// 0 when the text does not end in one.
size_t PercentTail(const std::string& text) {
    if (text.empty() || text.back() != '%') return 0;
    size_t digits = 0;
    while (digits < 3 && digits + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[text.size() - 2 - digits])))
        ++digits;
    const size_t length = digits + 2;
    if (digits == 0 || text.size() <= length || text[text.size() - length] != ' ') return 0;
    return length;
}

}  // namespace

void CMyTextStatic::Draw(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) {
    auto* self = static_cast<CMyTextStatic*>(data);
    self->m_linesDrawn = 0;
    self->m_ellipsized = false;
    if (self->m_text.empty()) return;
    const std::string utf8 = TextToUtf8(self->m_text);
    PangoLayout* layout = gtk_widget_create_pango_layout(GTK_WIDGET(area), nullptr);
    if (self->m_font) pango_layout_set_font_description(layout, self->m_font);
    if (self->m_lineHeight == 0) {
        // Measured once: a font made anew later keeps the line height of the first.
        pango_layout_set_text(layout, "哈", -1);
        int measuredWidth = 0;
        pango_layout_get_pixel_size(layout, &measuredWidth, &self->m_lineHeight);
    }
    pango_layout_set_text(layout, utf8.c_str(), -1);
    pango_layout_set_width(layout, width * PANGO_SCALE);
    pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT);
    if (height > 2 * self->m_lineHeight) {
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    } else {
        // One line: line breaks in the text are shown as such rather than starting a second line.
        pango_layout_set_single_paragraph_mode(layout, TRUE);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    self->m_linesDrawn = pango_layout_get_line_count(layout);
    self->m_ellipsized = pango_layout_is_ellipsized(layout);
    self->m_keptTail.clear();
    cairo_set_source_rgb(cr, 0, 0, 0);
    const size_t tail = self->m_ellipsized && height <= 2 * self->m_lineHeight ? PercentTail(utf8) : 0;
    if (tail != 0) {
        // A progress line too long for the label: the percent stays whole at the end, and the
        // text before it is shortened in the middle, where a long title loses least.
        PangoLayout* percent = gtk_widget_create_pango_layout(GTK_WIDGET(area), nullptr);
        if (self->m_font) pango_layout_set_font_description(percent, self->m_font);
        self->m_keptTail = utf8.substr(utf8.size() - tail);
        pango_layout_set_text(percent, self->m_keptTail.c_str(), -1);
        int percentWidth = 0;
        int percentHeight = 0;
        pango_layout_get_pixel_size(percent, &percentWidth, &percentHeight);
        const std::string head = utf8.substr(0, utf8.size() - tail);
        pango_layout_set_text(layout, head.c_str(), static_cast<int>(head.size()));
        pango_layout_set_width(layout, std::max(1, width - percentWidth) * PANGO_SCALE);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_MIDDLE);
        int headWidth = 0;
        int headHeight = 0;
        pango_layout_get_pixel_size(layout, &headWidth, &headHeight);
        cairo_move_to(cr, 0, 0);
        pango_cairo_show_layout(cr, layout);
        cairo_move_to(cr, headWidth, 0);
        pango_cairo_show_layout(cr, percent);
        self->m_keptTailRight = headWidth + percentWidth;
        g_object_unref(percent);
    } else {
        cairo_move_to(cr, 0, 0);
        pango_cairo_show_layout(cr, layout);
    }
    g_object_unref(layout);
}

// --- CXPButton ---------------------------------------------------------------------------------

CXPButton::CXPButton(Command command, Report report)
    : m_widget(NewPictureWidget(true)), m_command(std::move(command)), m_report(std::move(report)) {
    gtk_widget_set_cursor_from_name(m_widget, "pointer");

    GtkEventController* motion = gtk_event_controller_motion_new();
    g_signal_connect_swapped(motion, "enter", G_CALLBACK(+[](CXPButton* self) { self->OnEnter(); }), this);
    g_signal_connect_swapped(motion, "leave", G_CALLBACK(+[](CXPButton* self) { self->OnLeave(); }), this);
    gtk_widget_add_controller(m_widget, motion);

    GtkGesture* click = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), GDK_BUTTON_PRIMARY);
    g_signal_connect(click, "pressed",
                     G_CALLBACK(+[](GtkGestureClick* gesture, int, double, double, CXPButton* self) {
                         // The press is the button's: the window does not start a move with it.
                         gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
                         self->OnPress();
                     }),
                     this);
    g_signal_connect(click, "released",
                     G_CALLBACK(+[](GtkGestureClick*, int, double x, double y, CXPButton* self) {
                         const bool inside = x >= 0 && y >= 0 && x < gtk_widget_get_width(self->m_widget) &&
                                             y < gtk_widget_get_height(self->m_widget);
                         self->OnRelease(inside);
                     }),
                     this);
    // A press that ends elsewhere (the pointer left with the button held) runs nothing.
    g_signal_connect(click, "stopped", G_CALLBACK(+[](GtkGestureClick*, CXPButton* self) {
                         if (self->m_pressed) {
                             self->m_pressed = false;
                             self->Show();
                         }
                     }),
                     this);
    gtk_widget_add_controller(m_widget, GTK_EVENT_CONTROLLER(click));
}

void CXPButton::LoadImages(unsigned normalId, unsigned hoverId) {
    m_normal = LoadPicture(normalId);
    m_hover = LoadPicture(hoverId);
    m_normalId = m_normal ? normalId : 0;
    m_hoverId = m_hover ? hoverId : 0;
    Show();
}

unsigned CXPButton::ShownId() const { return m_hovered && m_hover ? m_hoverId : m_normalId; }

void CXPButton::Show() {
    GdkTexture* texture = m_hovered && m_hover ? m_hover.Get() : m_normal.Get();
    gtk_picture_set_paintable(GTK_PICTURE(m_widget), texture ? GDK_PAINTABLE(texture) : nullptr);
}

void CXPButton::Notify(int code) {
    if (m_report) m_report(code);
}

void CXPButton::OnEnter() {
    if (m_hovered) return;
    m_hovered = true;
    Show();
    Notify(kButtonHover);
}

void CXPButton::OnLeave() {
    m_hovered = false;
    m_pressed = false;
    Show();
    Notify(kButtonLeave);
}

void CXPButton::OnPress() {
    m_pressed = true;
    Show();
    Notify(kButtonDown);
}

void CXPButton::OnRelease(bool inside) {
    const bool wasPressed = m_pressed;
    m_pressed = false;
    Show();
    Notify(kButtonUp);
    // A press and release on the button is a click; the command may end the window.
    if (wasPressed && inside && m_command) m_command();
}
