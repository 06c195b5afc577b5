// CRuvoDlg: start-up, device events, timers and the busy display of the assistant, on the loop thread.
#include "CRuvoDlg.h"

#include <algorithm>
#include <utility>

#include "AudioConverter.h"
#include "CSystemInfo.h"
#include "DeviceEvents.h"
#include "DeviceLinkFunctions.h"
#include "DeviceManager.h"
#include "HostDescription.h"
#include "LinkFiles.h"
#include "LinkPollCycle.h"
#include "RingtoneCommands.h"
#include "TextEncoding.h"
#include "UsageReports.h"
#include "WorkerThread.h"

namespace {

constexpr char16_t kStatusPrefix[] = u"连接状态：";

// A file's name as the status line shows it: its last part, from the file system's bytes.
std::u16string DisplayName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return Utf8ToText(slash == std::string::npos ? path : path.substr(slash + 1));
}


}  // namespace

CRuvoDlg::CRuvoDlg(IMainLoop& loop, IRuvoView& view)
    : CLinkState(this), m_loop(loop), m_view(view), m_loopThread(std::this_thread::get_id()) {
    g_mainDialog = this;
}

CRuvoDlg::~CRuvoDlg() {
    if (g_mainDialog == this) g_mainDialog = nullptr;
}

bool CRuvoDlg::OnInitDialog() {
    m_view.SetStatePicture(kPanelWaiting);
    SetStatus(kTextWaiting);
    // The documents folder, the record file and the device manager's service check all touch
    // files or wait; none of it may hold the loop. Should no thread start, the work runs here
    // rather than not at all.
    if (!StartWorkerThread([this] { StartUp(); })) StartUp();
    return true;
}

void CRuvoDlg::StartUp() {
    CSystemInfo info;
    std::u16string documents = info.GetDocumentsFolder();
    if (!documents.empty() && documents.back() != u'/') documents += u'/';
    {
        std::scoped_lock lock(m_documentsLock);
        m_documentsDir = documents;
    }
    // The host is described only when reports are posted.
    StartUsageReporting(documents, [this] { return GetHostDescription(m_hostDescription, m_linkVersion); });
    AddReport(u"系统", u"启动", u"");
    StartDeviceManager(&CRuvoDlg::DeviceEventEntry, this);
}

std::u16string CRuvoDlg::DocumentsDir() const {
    std::scoped_lock lock(m_documentsLock);
    return m_documentsDir;
}

int CRuvoDlg::DeviceEventEntry(int eventType, const char* text, int textLength, void* userData, int linkIndex) {
    auto* dialog = static_cast<CRuvoDlg*>(userData);
    if (!dialog) return 1;
    // The text is valid only during the call: it travels as UTF-16.
    const std::u16string eventText =
        text ? AnsiToText(std::string_view(text, static_cast<size_t>(std::max(textLength, 0)))) : std::u16string();
    dialog->m_loop.Post(
        [dialog, eventType, eventText, linkIndex] { dialog->OnDeviceEvent(eventType, eventText, linkIndex); });
    return 1;
}

void CRuvoDlg::OnDeviceEvent(int eventType, const std::u16string& text, int linkIndex) {
    if (linkIndex == 0 && eventType == DEVICE_EVENT_TRUST_REQUIRED) {
        SetStatus(text);
    } else if (linkIndex == 0 && eventType == DEVICE_EVENT_CONNECTED) {
        m_connected = true;
        SetStatePicture(kPanelConnected);
        SetStatus(text);
        StartDiscovery(++m_connection);
    } else if (linkIndex == 0 && eventType == DEVICE_EVENT_DISCONNECTED) {
        // A discovery still running for the connection that ended starts no timer.
        ++m_connection;
        m_connected = false;
        m_loop.StopTimer(kPollTimer);
        EndBusy(nullptr);
        SetStatePicture(kPanelWaiting);
        SetStatus(text);
        m_heartbeat = 0;
    } else if (linkIndex == -1 && eventType == DEVICE_EVENT_NO_SUPPORT) {
        SetStatePicture(kPanelSupportMissing);
    }
}

void CRuvoDlg::StartDiscovery(uint64_t connection) {
    auto discover = [this, connection] {
        {
            // Discoveries take turns; one whose connection has already ended is skipped.
            std::scoped_lock lock(m_discoveryLock);
            if (connection == m_connection) DiscoverCompanionApps();
        }
        m_loop.Post([this, connection] { OnDiscovered(connection); });
    };
    if (!StartWorkerThread(discover)) discover();
}

void CRuvoDlg::DiscoverCompanionApps() {
    RefreshCompanionApps(*this);
    AppendDeviceDescription();
}

void CRuvoDlg::OnDiscovered(uint64_t connection) {
    if (connection != m_connection) return;
    m_loop.StartTimer(kPollTimer, kPollPeriodMs, [this] { OnTimer(kPollTimer); });
}

void CRuvoDlg::OnTimer(int id) {
    if (id == kPollTimer) {
        // A tick that finds a cycle running does nothing; the cycle checks again itself.
        if (m_polling == 0) StartWorkerThread([this] { LinkPollCycle(this); });
    } else if (id == kNoticeTimer) {
        m_loop.StopTimer(kNoticeTimer);
        m_view.SetStatusText(m_connectionText);
    } else if (id == kBlinkTimer) {
        m_view.ShowBlinkPhase(m_blinkPhase);
        m_blinkPhase = m_blinkPhase ? 0 : 1;
    }
}

void CRuvoDlg::OnCancel() {
    if (m_closed.exchange(true)) return;
    // The process ends right after: the exit event and the save get a bounded time, and a save cut
    // short leaves the previous record whole.
    EndReportingForExit(kExitSaveBound, u"系统", u"退出", u"");
}

void CRuvoDlg::ShowBusy() {
    OnLoop([this] {
        m_loop.StartTimer(kBlinkTimer, kBlinkPeriodMs, [this] { OnTimer(kBlinkTimer); });
        m_view.SetBusy(true);
    });
}

void CRuvoDlg::HideBusy() {
    OnLoop([this] {
        m_loop.StopTimer(kBlinkTimer);
        m_view.SetBusy(false);
    });
}

void CRuvoDlg::SetStatePicture(int state) { m_view.SetStatePicture(state); }

void CRuvoDlg::SetStatus(const std::u16string& eventText) {
    // A device event's text replaces whatever the line shows; an activity still running shows
    // its next step over it again.
    m_loop.StopTimer(kNoticeTimer);
    m_connectionText = kStatusPrefix + eventText;
    m_view.SetStatusText(m_connectionText);
}

void CRuvoDlg::ShowActivity(const std::u16string& text) {
    OnLoop([this, text] {
        m_loop.StopTimer(kNoticeTimer);
        m_view.SetStatusText(text);
    });
}

void CRuvoDlg::EndActivity() {
    OnLoop([this] {
        m_loop.StopTimer(kNoticeTimer);
        m_view.SetStatusText(m_connectionText);
    });
}

void CRuvoDlg::ShowNotice(const std::u16string& text) {
    m_view.SetStatusText(text);
    m_loop.StartTimer(kNoticeTimer, kNoticePeriodMs, [this] { OnTimer(kNoticeTimer); });
}

bool CRuvoDlg::CanTakeDrop(bool explain) {
    if (!m_connected && explain) ShowNotice(kTextConnectFirst);
    return m_connected;
}

bool CRuvoDlg::OnFilesDropped(const std::vector<std::string>& paths) {
    if (!CanTakeDrop(true) || paths.empty()) return false;
    bool start = false;
    {
        std::scoped_lock lock(m_dropLock);
        m_dropped.insert(m_dropped.end(), paths.begin(), paths.end());
        start = !std::exchange(m_dropWorker, true);
    }
    if (start && !StartWorkerThread([this] { AddDroppedFiles(); })) {
        std::scoped_lock lock(m_dropLock);
        m_dropped.clear();
        m_dropWorker = false;
        ShowNotice(kTextRingtoneFailed + DisplayName(paths.front()));
        return false;
    }
    return true;
}

void CRuvoDlg::AddDroppedFiles() {
    BeginBusy(nullptr);
    for (;;) {
        std::string path;
        {
            std::scoped_lock lock(m_dropLock);
            if (m_dropped.empty()) {
                // Ended under the lock: a drop that comes now starts a worker whose busy display
                // follows this end, never precedes it.
                EndBusy(nullptr);
                m_dropWorker = false;
                break;
            }
            path = std::move(m_dropped.front());
            m_dropped.pop_front();
        }
        try {
            AddDroppedFile(path);
        } catch (...) {
            // Memory ran out for this file: it failed, the next ones still get their turn.
            OnLoop([this, name = DisplayName(path)] { ShowNotice(kTextRingtoneFailed + name); });
        }
    }
}

void CRuvoDlg::AddDroppedFile(const std::string& path) {
    const std::u16string name = DisplayName(path);
    const auto notice = [this](std::u16string text) { OnLoop([this, text = std::move(text)] { ShowNotice(text); }); };
    ruvo::audio::Request request;
    request.path = path;
    request.name = path;
    request.progress = [this, &name](int percent) { ShowActivity(MakingRingtoneStatus(name, percent)); };
    ruvo::audio::Prepared prepared = ruvo::audio::PrepareRingtone(request);
    using Outcome = ruvo::audio::Prepared::Outcome;
    if (prepared.outcome == Outcome::NotAudio) return notice(kTextNotAudio + name);
    if (prepared.outcome == Outcome::Failed) return notice(kTextRingtoneFailed + name);

    std::string bytes = std::move(prepared.bytes);
    double seconds = prepared.seconds;
    if (prepared.outcome == Outcome::AsIs) {
        if (!ruvo::audio::ReadAudioFile(path, bytes) || bytes.empty()) return notice(kTextRingtoneFailed + name);
        // A .m4r is not looked at to decide; its length is read for the catalogue.
        if (ruvo::audio::IsRingtoneName(path)) seconds = ruvo::audio::ReadDuration(request);
        if (seconds <= 0) return notice(kTextRingtoneFailed + name);
    }
    const std::string title = prepared.title.empty() ? ruvo::audio::NameStem(path) : prepared.title;
    const std::u16string titleText = Utf8ToText(title);
    ShowActivity(kTextAddingRingtone + name);
    DeviceLink* link = GetDeviceLink(-1);
    // The phone records milliseconds in 32 bits.
    const int seconds32 = std::min(ruvo::audio::RecordedSeconds(seconds), 0x7FFFFFFF / 1000);
    const bool added = link && link->AddRingtone(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                 static_cast<int>(bytes.size()), TextToAnsi(titleText).c_str(),
                                                 seconds32) != 0;
    notice(added ? kTextRingtoneAdded + titleText : kTextRingtoneFailed + name);
}

void CRuvoDlg::OnLoop(std::function<void()> task) {
    if (std::this_thread::get_id() == m_loopThread)
        task();
    else
        m_loop.Post(std::move(task));
}
