// CRuvoDlg: start-up, device events, timers and the busy display of the assistant, on the loop thread.
#include "CRuvoDlg.h"

#include <algorithm>
#include <utility>

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

}  // namespace

CRuvoDlg::CRuvoDlg(IMainLoop& loop, IRuvoView& view)
    : CLinkState(this), m_loop(loop), m_view(view), m_loopThread(std::this_thread::get_id()), m_drops(*this) {
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
    return m_drops.Add(paths);
}

void CRuvoDlg::BeginDropBusy() { BeginBusy(nullptr); }

void CRuvoDlg::EndDropBusy() { EndBusy(nullptr); }

void CRuvoDlg::ShowDropActivity(const std::u16string& text) { ShowActivity(text); }

void CRuvoDlg::ShowDropNotice(const std::u16string& text) {
    OnLoop([this, text] { ShowNotice(text); });
}

void CRuvoDlg::OnLoop(std::function<void()> task) {
    if (std::this_thread::get_id() == m_loopThread)
        task();
    else
        m_loop.Post(std::move(task));
}
