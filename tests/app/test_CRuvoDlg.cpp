// Tests of the controller on a loop of the test's own: what each device event shows and which timers it
// runs, the busy display handed over from other threads, and the close.
#include "CRuvoDlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceEvents.h"
#include "TextEncoding.h"
#include "UsageReports.h"
#include "WorkerThread.h"

namespace {

// One log of what the controller did to its loop and its view, in order.
class Log {
public:
    void Add(const std::string& line) {
        std::scoped_lock lock(m_mutex);
        m_lines.push_back(line);
    }
    std::vector<std::string> Take() {
        std::scoped_lock lock(m_mutex);
        return std::exchange(m_lines, {});
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Runs posted tasks only when the test says so, and ticks timers by hand.
class ManualLoop : public IMainLoop {
public:
    explicit ManualLoop(Log& log) : m_log(log) {}

    void Post(std::function<void()> task) override {
        std::scoped_lock lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    void StartTimer(int id, int periodMs, std::function<void()> tick) override {
        m_timers[id] = std::move(tick);
        m_log.Add("start timer " + std::to_string(id) + " " + std::to_string(periodMs));
    }
    void StopTimer(int id) override {
        if (m_timers.erase(id)) m_log.Add("stop timer " + std::to_string(id));
    }

    void RunPosted() {
        std::deque<std::function<void()>> tasks;
        {
            std::scoped_lock lock(m_mutex);
            tasks.swap(m_tasks);
        }
        for (auto& task : tasks) task();
    }
    void Tick(int id) {
        auto it = m_timers.find(id);
        ASSERT_NE(it, m_timers.end()) << "timer " << id << " does not run";
        it->second();
    }
    bool Running(int id) const { return m_timers.count(id) != 0; }

private:
    Log& m_log;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
    std::map<int, std::function<void()>> m_timers;
};

class RecordingView : public IRuvoView {
public:
    explicit RecordingView(Log& log) : m_log(log) {}
    void SetStatePicture(int state) override { m_log.Add("panel " + std::to_string(state)); }
    void SetStatusText(const std::u16string& text) override { m_log.Add("status " + TextToUtf8(text)); }
    void SetBusy(bool busy) override { m_log.Add(busy ? "busy on" : "busy off"); }
    void ShowBlinkPhase(int phase) override { m_log.Add("blink " + std::to_string(phase)); }

private:
    Log& m_log;
};

// A controller of the given kind on the test's loop and view.
template <typename Dialog>
class ControllerOn : public ::testing::Test {
protected:
    // Discovery runs on worker threads, which must be done before the controller goes.
    ~ControllerOn() override { EXPECT_TRUE(WaitForWorkerThreads(std::chrono::seconds(60))); }

    // What a worker hands back to the loop reaches it once the worker is done.
    void SettleWorkers() {
        ASSERT_TRUE(WaitForWorkerThreads(std::chrono::seconds(60)));
        m_loop.RunPosted();
    }

    Log m_log;
    ManualLoop m_loop{m_log};
    RecordingView m_view{m_log};
    Dialog m_dialog{m_loop, m_view};
};

class Controller : public ControllerOn<CRuvoDlg> {};

using Lines = std::vector<std::string>;

TEST_F(Controller, DeviceEvents) {
    // No device manager runs here: discovery finds no phone and leaves the records empty.
    struct Step {
        int link;
        int type;
        const char* text;
        Lines expected;
    };
    const Step steps[] = {
        {0,
         DEVICE_EVENT_TRUST_REQUIRED,
         "请在iOS端信任后，重新连接设备",
         {"status 连接状态：请在iOS端信任后，重新连接设备"}},
        {0, DEVICE_EVENT_CONNECTED, "My Phone", {"panel 2", "status 连接状态：My Phone", "start timer 1 1000"}},
        // Events of further links, status events and the manager's other events change nothing.
        {1, DEVICE_EVENT_CONNECTED, "Second", {}},
        {1, DEVICE_EVENT_DISCONNECTED, "等待设备接入", {}},
        {0, DEVICE_EVENT_STATUS, "当前设备数量:2", {}},
        {-1, DEVICE_EVENT_CONNECTED, "x", {}},
        {0,
         DEVICE_EVENT_DISCONNECTED,
         "等待设备接入",
         {"stop timer 1", "busy off", "panel 1", "status 连接状态：等待设备接入"}},
        {-1, DEVICE_EVENT_NO_SUPPORT, "请先安装苹果官方工具iTunes", {"panel 0"}},
    };
    for (const Step& step : steps) {
        m_dialog.OnDeviceEvent(step.type, Utf8ToText(step.text), step.link);
        // Timer 1 starts once discovery, on a worker, has handed its end back to the loop.
        SettleWorkers();
        EXPECT_EQ(m_log.Take(), step.expected) << step.link << " " << step.type << " " << step.text;
    }
}

TEST_F(Controller, RemovalResetsTheHeartbeatAndEndsTheBusyDisplay) {
    m_dialog.OnDeviceEvent(DEVICE_EVENT_CONNECTED, u"P", 0);
    SettleWorkers();
    m_dialog.m_heartbeat = 41;
    m_dialog.BeginBusy(nullptr);
    ASSERT_TRUE(m_loop.Running(CRuvoDlg::kBlinkTimer));
    m_log.Take();

    m_dialog.OnDeviceEvent(DEVICE_EVENT_DISCONNECTED, u"等待设备接入", 0);
    EXPECT_EQ(m_log.Take(),
              (Lines{"stop timer 1", "stop timer 2", "busy off", "panel 1", "status 连接状态：等待设备接入"}));
    EXPECT_EQ(m_dialog.m_heartbeat, 0);
}

// A drop without a phone is refused and says so for 5 s; a command's activity takes the status line
// until it ends, and a device event's text replaces a notice at once.
TEST_F(Controller, DropRefusalNoticesAndActivities) {
    m_dialog.OnDeviceEvent(DEVICE_EVENT_DISCONNECTED, u"等待设备接入", 0);
    m_log.Take();
    EXPECT_FALSE(m_dialog.CanTakeDrop(false));
    EXPECT_EQ(m_log.Take(), Lines{});
    EXPECT_FALSE(m_dialog.OnFilesDropped({"/tmp/a.mp3", "/tmp/b.flac"}));
    EXPECT_EQ(m_log.Take(), (Lines{"status 请先连接设备", "start timer 3 5000"}));
    m_loop.Tick(CRuvoDlg::kNoticeTimer);
    EXPECT_EQ(m_log.Take(), (Lines{"stop timer 3", "status 连接状态：等待设备接入"}));
    EXPECT_EQ(WaitForWorkerThreads(std::chrono::seconds(1)), true);

    // An activity from a command thread, through the loop; its end gives the connection text back.
    EXPECT_FALSE(m_dialog.CanTakeDrop(true));
    m_log.Take();
    std::thread command([&] {
        // As a command does, through the link state.
        CLinkState& state = m_dialog;
        state.ShowActivity(u"正在制作铃声：Song 40%");
        state.EndActivity();
    });
    command.join();
    m_loop.RunPosted();
    EXPECT_EQ(m_log.Take(), (Lines{"stop timer 3", "status 正在制作铃声：Song 40%", "status 连接状态：等待设备接入"}));

    // A connection while a notice shows: the event's text at once, the notice's timer stopped.
    EXPECT_FALSE(m_dialog.CanTakeDrop(true));
    m_dialog.OnDeviceEvent(DEVICE_EVENT_CONNECTED, u"Phone [\"A\"]", 0);
    SettleWorkers();
    EXPECT_EQ(m_log.Take(), (Lines{"status 请先连接设备", "start timer 3 5000", "panel 2", "stop timer 3",
                                   "status 连接状态：Phone [\"A\"]", "start timer 1 1000"}));
    EXPECT_TRUE(m_dialog.CanTakeDrop(true));
    EXPECT_FALSE(m_dialog.OnFilesDropped({}));
    EXPECT_EQ(m_log.Take(), Lines{});
}

// Events from the device manager's thread and busy changes from command threads reach the view
// only through the loop, in the order they happened.
TEST_F(Controller, OtherThreadsHandOverThroughTheLoop) {
    std::thread device([&] {
        // The text's buffer lives only during the call.
        char text[32];
        std::strcpy(text, "Phone A");
        EXPECT_EQ(CRuvoDlg::DeviceEventEntry(DEVICE_EVENT_CONNECTED, text, 7, &m_dialog, 0), 1);
        std::memset(text, 'x', sizeof text - 1);
        std::strcpy(text, "等待设备接入");
        const std::string ansi = TextToAnsi(Utf8ToText(text));
        EXPECT_EQ(CRuvoDlg::DeviceEventEntry(DEVICE_EVENT_DISCONNECTED, ansi.c_str(), static_cast<int>(ansi.size()),
                                             &m_dialog, 0),
                  1);
    });
    device.join();
    EXPECT_EQ(m_log.Take(), Lines{});
    m_loop.RunPosted();
    // The phone left before its discovery ended: the poll timer never starts.
    EXPECT_EQ(m_log.Take(), (Lines{"panel 2", "status 连接状态：Phone A", "busy off", "panel 1",
                                   "status 连接状态：等待设备接入"}));
    SettleWorkers();
    EXPECT_EQ(m_log.Take(), Lines{});

    std::unique_ptr<CJson> record(m_dialog.NewAppRecord(u"com.mrz4.ringtone.pid40ch1"));
    CJson* state = CLinkState::StateOf(record.get());
    std::thread command([&] {
        m_dialog.BeginBusy(state);
        m_dialog.EndBusy(state);
    });
    command.join();
    EXPECT_EQ(state->FindChild(u"ThreadRun", u"")->GetValue(), u"0");
    EXPECT_EQ(m_log.Take(), Lines{});
    m_loop.RunPosted();
    EXPECT_EQ(m_log.Take(), (Lines{"start timer 2 200", "busy on", "stop timer 2", "busy off"}));
}

// A controller whose discovery, like a phone whose application lookup is slow, waits until the
// test lets it go (at most 10 s).
class SlowDiscoveryDialog : public CRuvoDlg {
public:
    using CRuvoDlg::CRuvoDlg;

    bool WaitUntilDiscovering(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_started >= count; });
    }
    void Release() {
        std::scoped_lock lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    // Discoveries from now on wait again.
    void Hold() {
        std::scoped_lock lock(m_mutex);
        m_released = false;
    }
    int Started() {
        std::scoped_lock lock(m_mutex);
        return m_started;
    }
    // Whether every discovery so far ran until the test let it go.
    bool AllReleased() {
        std::scoped_lock lock(m_mutex);
        return m_timedOut == 0;
    }

protected:
    void DiscoverCompanionApps() override {
        std::unique_lock lock(m_mutex);
        ++m_started;
        m_changed.notify_all();
        if (!m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_released; })) ++m_timedOut;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_started = 0;
    int m_timedOut = 0;
    bool m_released = false;
};

class SlowDiscovery : public ControllerOn<SlowDiscoveryDialog> {
protected:
    // A discovery still waiting is let go before the workers are waited for.
    ~SlowDiscovery() override { m_dialog.Release(); }
};

// The loop goes on while discovery waits on the phone: the event returns at once, and a timer of
// the loop ticks while the lookup is still under way.
TEST_F(SlowDiscovery, LoopTicksWhileTheLookupRuns) {
    m_dialog.OnDeviceEvent(DEVICE_EVENT_CONNECTED, u"Slow Phone", 0);
    EXPECT_EQ(m_log.Take(), (Lines{"panel 2", "status 连接状态：Slow Phone"}));
    ASSERT_TRUE(m_dialog.WaitUntilDiscovering(1));

    m_dialog.BeginBusy(nullptr);
    m_loop.Tick(CRuvoDlg::kBlinkTimer);
    m_loop.Tick(CRuvoDlg::kBlinkTimer);
    EXPECT_EQ(m_log.Take(), (Lines{"start timer 2 200", "busy on", "blink 0", "blink 1"}));
    EXPECT_FALSE(m_loop.Running(CRuvoDlg::kPollTimer)) << "polling before the apps are known";

    m_dialog.Release();
    SettleWorkers();
    EXPECT_TRUE(m_dialog.AllReleased()) << "the lookup ended before the loop ticked";
    EXPECT_EQ(m_log.Take(), Lines{"start timer 1 1000"});
}

// Connections and removals in quick succession while a lookup runs: the last event decides, and
// only a discovery for the connection still current starts the poll timer.
TEST_F(SlowDiscovery, QuickConnectAndGoneEndsAsTheLastEventSays) {
    struct Case {
        std::vector<int> events;
        bool polling;
        const char* lastPanel;
    };
    const Case cases[] = {
        {{DEVICE_EVENT_CONNECTED, DEVICE_EVENT_DISCONNECTED}, false, "panel 1"},
        {{DEVICE_EVENT_CONNECTED, DEVICE_EVENT_DISCONNECTED, DEVICE_EVENT_CONNECTED}, true, "panel 2"},
        {{DEVICE_EVENT_CONNECTED, DEVICE_EVENT_CONNECTED, DEVICE_EVENT_DISCONNECTED}, false, "panel 1"},
    };
    for (const Case& c : cases) {
        const int before = m_dialog.Started();
        m_dialog.Hold();
        m_dialog.OnDeviceEvent(c.events[0], u"Phone", 0);
        ASSERT_TRUE(m_dialog.WaitUntilDiscovering(before + 1));
        for (size_t i = 1; i < c.events.size(); ++i)
            m_dialog.OnDeviceEvent(c.events[i], c.events[i] == DEVICE_EVENT_CONNECTED ? u"Phone" : u"等待设备接入", 0);
        m_dialog.Release();
        SettleWorkers();
        const Lines lines = m_log.Take();
        std::string lastPanel;
        int pollStarts = 0;
        for (const std::string& line : lines) {
            if (line.rfind("panel ", 0) == 0) lastPanel = line;
            if (line == "start timer 1 1000") ++pollStarts;
        }
        EXPECT_EQ(m_loop.Running(CRuvoDlg::kPollTimer), c.polling) << c.events.size();
        EXPECT_EQ(pollStarts, c.polling ? 1 : 0) << c.events.size();
        EXPECT_EQ(lastPanel, c.lastPanel) << c.events.size();
        // The next case starts from the waiting state.
        m_dialog.OnDeviceEvent(DEVICE_EVENT_DISCONNECTED, u"等待设备接入", 0);
        SettleWorkers();
        m_log.Take();
    }
}

TEST_F(Controller, BlinksWhileBusy) {
    m_dialog.BeginBusy(nullptr);
    m_log.Take();
    for (int i = 0; i < 3; ++i) m_loop.Tick(CRuvoDlg::kBlinkTimer);
    EXPECT_EQ(m_log.Take(), (Lines{"blink 0", "blink 1", "blink 0"}));
    m_dialog.EndBusy(nullptr);
    EXPECT_FALSE(m_loop.Running(CRuvoDlg::kBlinkTimer));
}

TEST_F(Controller, CloseRecordsTheExitOnce) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ruvo-close-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "recode.cx").string();
    LoadReports(Utf8ToText(path));

    std::thread a([&] { m_dialog.OnCancel(); });
    std::thread b([&] { m_dialog.OnCancel(); });
    a.join();
    b.join();

    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string record = text.str();
    size_t count = 0;
    for (size_t at = record.find("退出"); at != std::string::npos; at = record.find("退出", at + 1)) ++count;
    EXPECT_EQ(count, 1u) << record;
    UnloadReports();
    std::filesystem::remove_all(dir);
}

}  // namespace
