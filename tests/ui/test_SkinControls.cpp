// The window's controls in-process, on a real display (run under xvfb-run): pictures by number, the label's
// one line or wrap and its kept line height, and the button's reports.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "SkinControls.h"

namespace {

// Runs the loop until the condition holds or a generous bound passes; whether it held.
bool SpinUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        g_main_context_iteration(nullptr, FALSE);
    }
    return true;
}

// A window of its own holding one label of the given size.
class LabelWindow {
public:
    LabelWindow(int width, int height) : m_window(GTK_WINDOW(gtk_window_new())) {
        gtk_widget_set_size_request(m_label.Widget(), width, height);
        gtk_window_set_child(m_window, m_label.Widget());
        m_label.SetFace("微软雅黑", 21);
        m_label.CreateLabelFont();
        gtk_window_present(m_window);
    }
    ~LabelWindow() { gtk_window_destroy(m_window); }

    // Sets the text and waits for the label to draw it.
    bool Draw(const std::u16string& text) {
        m_label.SetText(text);
        gtk_widget_queue_draw(m_label.Widget());
        m_drawn = false;
        const guint tick = gtk_widget_add_tick_callback(
            m_label.Widget(),
            [](GtkWidget*, GdkFrameClock*, gpointer self) -> gboolean {
                static_cast<LabelWindow*>(self)->m_drawn = true;
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        (void)tick;
        // Two frames: the tick comes before the frame's paint.
        return SpinUntil([this] { return m_drawn && m_label.LinesDrawn() > 0; });
    }
    CMyTextStatic& Label() { return m_label; }

private:
    GtkWindow* m_window;
    CMyTextStatic m_label;
    bool m_drawn = false;
};

const std::u16string kLong =
    u"连接状态：一台名字很长很长的手机 iPhone of somebody with a very long name indeed, and more words";

TEST(CMyStatic, AMissingPictureKeepsTheCurrentOne) {
    CMyStatic picture;
    g_object_ref_sink(picture.Widget());
    EXPECT_TRUE(picture.LoadPng(134));
    EXPECT_EQ(picture.PictureId(), 134u);
    EXPECT_FALSE(picture.LoadPng(999));
    EXPECT_FALSE(picture.LoadPng(0));
    EXPECT_EQ(picture.PictureId(), 134u);
    EXPECT_NE(gtk_picture_get_paintable(GTK_PICTURE(picture.Widget())), nullptr);
    // Every picture of the window is there, at its size.
    const struct {
        unsigned id;
        int width, height;
    } pictures[] = {{142, 680, 530}, {134, 678, 417}, {131, 678, 417}, {144, 678, 417}, {132, 30, 30},
                    {145, 30, 30},   {129, 30, 30},   {130, 30, 30},   {149, 132, 182}, {146, 132, 182},
                    {147, 125, 28},  {148, 125, 28},  {128, 64, 64},   {136, 48, 48},   {140, 16, 16}};
    for (const auto& p : pictures) {
        const ruvo::GObjectRef<GdkTexture> texture = LoadPicture(p.id);
        ASSERT_TRUE(texture) << p.id;
        EXPECT_EQ(gdk_texture_get_width(texture.Get()), p.width) << p.id;
        EXPECT_EQ(gdk_texture_get_height(texture.Get()), p.height) << p.id;
    }
    g_object_unref(picture.Widget());
}

// A label at most two lines high draws one line, with an ellipsis when the text is too long.
TEST(CMyTextStatic, TheStatusLineDrawsOneLineEndingInAnEllipsis) {
    LabelWindow window(400, 28);
    ASSERT_TRUE(window.Draw(kLong));
    EXPECT_EQ(window.Label().LinesDrawn(), 1);
    EXPECT_TRUE(window.Label().Ellipsized());
    ASSERT_TRUE(window.Draw(u"连接状态：等待设备接入"));
    EXPECT_EQ(window.Label().LinesDrawn(), 1);
    EXPECT_FALSE(window.Label().Ellipsized());
    // A line break in the text starts no second line.
    ASSERT_TRUE(window.Draw(u"first\nsecond"));
    EXPECT_EQ(window.Label().LinesDrawn(), 1);
}

// A progress line too long for the label keeps its percent whole, inside the label, and shortens
// the title before it; a line that fits, or one without a percent, is drawn as it is.
TEST(CMyTextStatic, AShortenedProgressLineKeepsItsPercent) {
    LabelWindow window(400, 28);
    const struct {
        std::u16string text;
        std::string tail;
    } cases[] = {
        {u"正在制作铃声：A rather long ringtone title that goes on and on and on past the edge 42%", " 42%"},
        {u"正在制作铃声：" + std::u16string(300, u'铃') + u" 100%", " 100%"},
        {u"正在制作铃声：" + std::u16string(200, u'x') + u" 7%", " 7%"},
        {u"正在制作铃声：短 42%", ""},           // fits: nothing kept apart
        {kLong, ""},                             // no percent at its end
        {u"正在制作铃声：" + std::u16string(200, u'y') + u"42%", ""},  // no space before it: not a progress
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(window.Draw(c.text));
        EXPECT_EQ(window.Label().KeptTail(), c.tail) << c.text.size() << " characters";
        if (!c.tail.empty()) {
            EXPECT_TRUE(window.Label().Ellipsized());
            EXPECT_GT(window.Label().KeptTailRight(), 300);
            EXPECT_LE(window.Label().KeptTailRight(), 400);
        }
    }
}

TEST(CMyTextStatic, ATallerLabelWraps) {
    LabelWindow window(400, 100);
    ASSERT_TRUE(window.Draw(kLong));
    EXPECT_GT(window.Label().LinesDrawn(), 1);
    EXPECT_FALSE(window.Label().Ellipsized());
}

// The line height is measured once, from "哈", and kept when the font is made again.
TEST(CMyTextStatic, TheLineHeightIsMeasuredOnceAndKept) {
    LabelWindow window(400, 28);
    EXPECT_EQ(window.Label().LineHeight(), 0);
    ASSERT_TRUE(window.Draw(u"哈"));
    const int height = window.Label().LineHeight();
    EXPECT_GE(height, 20);
    EXPECT_LE(height, 22);
    window.Label().SetFace("微软雅黑", 40);
    window.Label().CreateLabelFont();
    ASSERT_TRUE(window.Draw(u"哈哈"));
    EXPECT_EQ(window.Label().LineHeight(), height);
}

TEST(CMyTextStatic, TheSameTextTwiceRedrawsOnce) {
    CMyTextStatic label;
    g_object_ref_sink(label.Widget());
    label.SetText(u"连接状态：等待设备接入");
    label.SetText(u"连接状态：等待设备接入");
    EXPECT_EQ(label.RedrawRequests(), 1);
    label.SetText(u"连接状态：Phone");
    EXPECT_EQ(label.RedrawRequests(), 2);
    g_object_unref(label.Widget());
}

// Hover is reported once however long the pointer rests; leaving clears a press, so the release
// after it runs nothing; a press and release on the button runs its command.
TEST(CXPButton, ReportsAndClicks) {
    std::vector<int> reports;
    int commands = 0;
    CXPButton button([&] { ++commands; }, [&](int code) { reports.push_back(code); });
    g_object_ref_sink(button.Widget());
    button.LoadImages(129, 130);
    EXPECT_EQ(button.ShownId(), 129u);
    button.OnEnter();
    button.OnEnter();
    EXPECT_EQ(button.ShownId(), 130u);
    button.OnPress();
    EXPECT_TRUE(button.Pressed());
    button.OnLeave();
    EXPECT_FALSE(button.Pressed());
    EXPECT_FALSE(button.Hovered());
    EXPECT_EQ(button.ShownId(), 129u);
    button.OnRelease(true);
    EXPECT_EQ(commands, 0);
    button.OnEnter();
    button.OnPress();
    button.OnRelease(false);  // released outside: no click
    EXPECT_EQ(commands, 0);
    button.OnPress();
    button.OnRelease(true);
    EXPECT_EQ(commands, 1);
    EXPECT_EQ(reports, (std::vector<int>{kButtonHover, kButtonDown, kButtonLeave, kButtonUp, kButtonHover, kButtonDown,
                                         kButtonUp, kButtonDown, kButtonUp}));
    g_object_unref(button.Widget());
}

TEST(CXPButton, AMissingHoverPictureKeepsTheNormalOne) {
    CXPButton button([] {});
    g_object_ref_sink(button.Widget());
    button.LoadImages(132, 999);
    button.OnEnter();
    EXPECT_TRUE(button.Hovered());
    EXPECT_EQ(button.ShownId(), 132u);
    g_object_unref(button.Widget());
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!gtk_init_check()) {
        std::fprintf(stderr, "no display: run under xvfb-run\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
