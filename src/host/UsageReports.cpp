// UsageReports: the usage record file, its send batches and the thread that posts them to the report endpoint.
#include "UsageReports.h"

#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "CHttpClient.h"
#include "CJson.h"
#include "FileHelpers.h"
#include "TextEncoding.h"

namespace {

constexpr char16_t kRecodeKey[] = u"Recode";
constexpr char16_t kReportKey[] = u"Report";
constexpr char16_t kBatchField[] = u"p";
constexpr char16_t kResultCodeKey[] = u"ResultCode";
constexpr char kReportUrlVariable[] = "RUVO_REPORT_URL";
constexpr char kNoReportVariable[] = "RUVO_NO_REPORT";

// The process-wide record. It is made on first use and never freed, so that it outlives a sender
// thread still running when the process ends.
struct ReportState {
    std::mutex lock;  // guards everything below, and each change of the tree with its save
    std::unique_ptr<CJson> tree;
    std::u16string path;
    std::u16string url;
    std::u16string header;
    bool started = false;  // StartReporting has run in this program start
    std::thread sender;
};

ReportState& State() {
    static ReportState* state = new ReportState();
    return *state;
}

// Attaches a new node and hands back the parent's borrowed pointer to it.
CJson* AttachNew(CJson* parent) {
    auto child = std::make_unique<CJson>();
    CJson* raw = child.get();
    if (parent->AddChild(raw) == nullptr) return nullptr;
    child.release();
    return raw;
}

// The local time of an event, "%Y-%m-%d %H:%M:%S"; empty when it cannot be formatted.
std::u16string NowText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return std::u16string();
    char buffer[32];
    const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return std::u16string(buffer, buffer + n);
}

// Callers hold the lock.
void SaveLocked(ReportState& state) {
    if (!state.tree || state.path.empty()) return;
    // A record that cannot be written stays in memory; the next save tries again.
    ReplaceTextFile(state.tree->ToString(), state.path);
}

// The events recorded so far become one batch under a new "Report", and "Recode" starts empty.
// Callers hold the lock.
void MakeBatchLocked(ReportState& state, CJson* recode, CJson* report) {
    CJson* tree = state.tree.get();
    std::unique_ptr<CJson> events(recode->Clone());
    tree->RemoveChild(recode);
    tree->AddChild(kRecodeKey, u"");
    if (report != nullptr) tree->RemoveChild(report);
    CJson* batch = AttachNew(tree->AddChild(kReportKey, u""));
    for (int i = 0; i < events->GetChildCount(); ++i) {
        std::unique_ptr<CJson> group(events->GetChild(i)->Clone());
        if (batch->AddChild(group.get()) != nullptr) group.release();
    }
    SaveLocked(state);
}

}  // namespace

std::u16string RecordFilePath(const std::u16string& documentsFolder) {
    if (documentsFolder.empty()) return std::u16string();
    std::u16string path = documentsFolder;
    if (path.back() != u'/') path += u'/';
    return path + kRecordFileName;
}

std::u16string ReportUrlFromEnvironment() {
    const char* off = std::getenv(kNoReportVariable);
    if (off != nullptr && std::string(off) == "1") return std::u16string();
    const char* url = std::getenv(kReportUrlVariable);
    if (url == nullptr) return std::u16string();
    return AnsiToText(url);
}

void LoadReports(const std::u16string& path) {
    ReportState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.tree) return;
    // Parse gives a tree for any text, so a damaged or foreign file still loads; the members
    // the record needs are then added to whatever it held.
    state.tree.reset(CJson::Parse(ReadTextFile(path)));
    if (state.tree->FindChild(kRecodeKey, u"") == nullptr) state.tree->AddChild(kRecodeKey, u"");
    if (state.tree->FindChild(kReportKey, u"") == nullptr) state.tree->AddChild(kReportKey, u"");
    if (state.path.empty()) state.path = path;
}

void StartReporting(const std::u16string& url, const std::u16string& header) {
    ReportState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.tree || state.started) return;
    state.started = true;
    state.header = header;
    // At most two rounds: the first may make the batch that the second then sends.
    for (int round = 0; round < 2; ++round) {
        CJson* report = state.tree->FindChild(kReportKey, u"");
        if (report != nullptr && report->GetChildCount() > 0) {
            // Batches are waiting: send them, or, with no endpoint, leave them to wait as a
            // failed post would. Either way no new batch is made while one waits.
            if (url.empty()) return;
            state.url = url;
            state.sender = std::thread(ReportSenderThread);
            return;
        }
        CJson* recode = state.tree->FindChild(kRecodeKey, u"");
        if (recode == nullptr || recode->GetChildCount() == 0) return;
        MakeBatchLocked(state, recode, report);
    }
}

void AddReport(const std::u16string& category, const std::u16string& action, const std::u16string& label) {
    ReportState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.tree) return;
    CJson* recode = state.tree->FindChild(kRecodeKey, u"");
    if (recode == nullptr) return;

    // Events are kept one by one under their category and action, each made on first use.
    CJson* found = recode->FindNode(u"Category", category);
    CJson* group = found != nullptr ? found->GetParent() : nullptr;
    if (group == nullptr) {
        group = AttachNew(recode);
        group->AddChild(u"Category", category);
    }
    CJson* actions = group->FindChild(u"Action", u"");
    if (actions == nullptr) actions = group->AddChild(u"Action", u"");
    found = actions->FindNode(u"ActName", action);
    CJson* entry = found != nullptr ? found->GetParent() : nullptr;
    if (entry == nullptr) {
        entry = AttachNew(actions);
        entry->AddChild(u"ActName", action);
    }
    CJson* values = entry->FindChild(u"Value", u"");
    if (values == nullptr) values = entry->AddChild(u"Value", u"");
    CJson* event = AttachNew(values);
    event->AddChild(u"Lable", u"");
    event->AddChild(u"Value", label);
    event->AddChild(u"CTime", NowText());
    SaveLocked(state);
}

void SaveReports() {
    ReportState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    SaveLocked(state);
}

void ReportSenderThread() {
    ReportState& state = State();
    CJson* report = nullptr;
    std::u16string url;
    std::u16string header;
    int count = 0;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.tree) return;
        report = state.tree->FindChild(kReportKey, u"");
        if (report == nullptr) return;
        url = state.url;
        header = state.header;
        count = report->GetChildCount();
        if (count == 0) {
            SaveLocked(state);
            return;
        }
    }
    // Only this thread changes "Report" while it runs (the batch was made before it started), so
    // the batch node stays valid while it is posted without the lock; holding the lock for a
    // whole request would stall every event recorded meanwhile.
    CHttpClient client(header);
    for (int i = 0; i < count; ++i) {
        CJson* batch = nullptr;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            batch = report->GetChild(i);
        }
        // A batch without events is skipped and stays.
        if (batch == nullptr || batch->GetChildCount() == 0) continue;
        const std::unique_ptr<CJson> answer = client.PostJson(url, batch, kBatchField);
        CJson* code = answer ? answer->FindChild(kResultCodeKey, u"") : nullptr;
        // Not acknowledged: this batch and the ones after it wait for the next start.
        if (code == nullptr || code->GetValue() != u"0") return;
        std::lock_guard<std::mutex> guard(state.lock);
        report->RemoveChild(batch);
        // "Report" read back from the file holds groups as an object; emptied, it would be written
        // as "{}", which reads back as one empty batch, and a waiting batch, even an empty one,
        // keeps every later start from making a new one. An emptied "Report" is written as "".
        if (report->GetChildCount() == 0) report->SetValue(u"");
        --count;
        --i;
        SaveLocked(state);
    }
    std::lock_guard<std::mutex> guard(state.lock);
    SaveLocked(state);
}

void StartUsageReporting(const std::u16string& documentsFolder, const HostDescriptionSource& describeHost) {
    LoadReports(RecordFilePath(documentsFolder));
    const std::u16string url = ReportUrlFromEnvironment();
    StartReporting(url, !url.empty() && describeHost ? describeHost() : std::u16string());
}

void WaitForReportSender() {
    ReportState& state = State();
    std::thread sender;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        sender = std::move(state.sender);
    }
    if (sender.joinable()) sender.join();
}

void UnloadReports() {
    WaitForReportSender();
    ReportState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.tree.reset();
    state.path.clear();
    state.url.clear();
    state.header.clear();
    state.started = false;
}
