// SkinControls: the window's controls drawn from the program's pictures: a picture, a text label and a two-picture button.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "GObjectRef.h"

// Registers the program's pictures (GResource) once per process; every lookup below needs it.
void RegisterRuvoResources();

// The picture with this number from the program's resources, or null when there is none.
ruvo::GObjectRef<GdkTexture> LoadPicture(unsigned id);

// Each control owns one GTK widget, which its container (the window) holds; the control object
// lives as long as the window. Everything runs on the loop thread.

// A picture stretched over the control's whole area (aspect not kept). It takes no pointer input.
class CMyStatic {
public:
    CMyStatic();
    GtkWidget* Widget() const { return m_widget; }
    // Makes the picture with this number the control's; a number without a picture keeps the
    // current one. False then.
    bool LoadPng(unsigned id);
    // The number of the picture shown, 0 before the first.
    unsigned PictureId() const { return m_id; }

private:
    GtkWidget* m_widget;
    unsigned m_id = 0;
};

// A transparent text label, left- and top-aligned, black, over the window's picture. A label at
// most two lines high draws one line, ending in an ellipsis when the text is too long; a taller
// one wraps. The line height is measured once, from "哈" in the label's font.
class CMyTextStatic {
public:
    CMyTextStatic();
    GtkWidget* Widget() const { return m_widget; }
    // The face and the pixel height of a line, then the font is made from them. The face is
    // Pango's: a face that is not installed falls back to one that has the glyphs (the CJK font).
    void SetFace(const std::string& face, int height);
    void CreateLabelFont();
    // A text different from the last one set is kept and redrawn; the same text again does nothing.
    void SetText(const std::u16string& text);
    const std::u16string& Text() const { return m_text; }
    // 0 until the label has drawn once.
    int LineHeight() const { return m_lineHeight; }
    // How often the label asked to be redrawn (for tests).
    int RedrawRequests() const { return m_redraws; }
    // What the last draw did: lines drawn, and whether the text ended in an ellipsis.
    int LinesDrawn() const { return m_linesDrawn; }
    bool Ellipsized() const { return m_ellipsized; }
    // The trailing percent (" 42%") the last draw kept whole after a shortened text, empty when
    // nothing was kept apart, and where its right edge was drawn (for tests).
    const std::string& KeptTail() const { return m_keptTail; }
    int KeptTailRight() const { return m_keptTailRight; }

private:
    static void Draw(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer self);

    GtkWidget* m_widget;
    std::string m_face = "Sans";
    int m_height = 21;
    PangoFontDescription* m_font = nullptr;
    std::u16string m_text;
    int m_lineHeight = 0;
    int m_redraws = 0;
    int m_linesDrawn = 0;
    bool m_ellipsized = false;
    std::string m_keptTail;
    int m_keptTailRight = 0;
};

// The button's reports to its parent: pointer left, hover started, left button down, left button up.
inline constexpr int kButtonLeave = 0;
inline constexpr int kButtonHover = 1;
inline constexpr int kButtonDown = 2;
inline constexpr int kButtonUp = 3;

// A push button drawn from a normal and a hover picture, with the "pointer" cursor. A press and
// release on it runs its command; hover (once, however long the pointer rests), leave (which
// also clears a press), press and release are reported to the parent.
class CXPButton {
public:
    using Command = std::function<void()>;
    using Report = std::function<void(int code)>;

    explicit CXPButton(Command command, Report report = nullptr);
    GtkWidget* Widget() const { return m_widget; }
    // Both pictures by number; a missing hover picture leaves the normal one shown while hovered.
    void LoadImages(unsigned normalId, unsigned hoverId);
    bool Hovered() const { return m_hovered; }
    bool Pressed() const { return m_pressed; }
    // The number of the picture drawn now (0: none).
    unsigned ShownId() const;

    // The pointer's moves, as the widget's controllers report them (public for tests).
    void OnEnter();
    void OnLeave();
    void OnPress();
    void OnRelease(bool inside);

private:
    void Show();
    void Notify(int code);

    GtkWidget* m_widget;
    Command m_command;
    Report m_report;
    ruvo::GObjectRef<GdkTexture> m_normal;
    ruvo::GObjectRef<GdkTexture> m_hover;
    unsigned m_normalId = 0;
    unsigned m_hoverId = 0;
    bool m_hovered = false;
    bool m_pressed = false;
};
