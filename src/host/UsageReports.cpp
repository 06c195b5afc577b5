// UsageReports: the usage record file, its send batches and the thread that posts them to the report endpoint.
#include "UsageReports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "CHttpClient.h"
#include "CJson.h"
#include "FileHelpers.h"
#include "ReplaceFile.h"
#include "TextEncoding.h"
#include "UniqueFd.h"

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
    // Guards everything below. The end of the process waits for it only so long (LockWithin).
    std::mutex lock;
    std::unique_ptr<CJson> tree;
    std::u16string path;  // empty: the record is kept in memory only
    std::u16string url;
    std::u16string header;
    bool started = false;  // StartReporting has run in this program start
    std::thread sender;
    size_t recodeBytes = 0;  // the estimated size of the events under "Recode"

    // The saver: saves are numbered; `wanted` is the newest asked for, `saved` the newest the
    // saver has handled (written, or failed and left to the next one).
    std::condition_variable changed;
    uint64_t wanted = 0;
    uint64_t saved = 0;
    bool stopSaver = false;
    std::thread saver;
    // Closed at the end of the process; a new one for each program start.
    std::unique_ptr<ruvo::ReplaceFileGate> gate = std::make_unique<ruvo::ReplaceFileGate>();
};

using Guard = std::lock_guard<std::mutex>;

// Takes the lock unless the deadline passes first. A plain mutex tried again and again rather than
// a timed one: thread checkers follow try_lock, and the wait is at the end of the process only.
bool LockWithin(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (lock.try_lock()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

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

// Asks the saver for a save of the tree as it is now; the number of that save. Callers hold the
// lock.
uint64_t RequestSaveLocked(ReportState& state) {
    if (!state.tree || state.path.empty() || !state.saver.joinable()) return state.saved;
    state.changed.notify_all();
    return ++state.wanted;
}

// The saver thread: writes the tree whenever a save is asked for, the file I/O outside the lock;
// saves asked for meanwhile are served by one write. Ends when told to, after the last save.
void SaverThread() {
    ReportState& state = State();
    std::unique_lock lock(state.lock);
    for (;;) {
        state.changed.wait(lock, [&] { return state.stopSaver || state.wanted > state.saved; });
        if (state.wanted <= state.saved) return;
        const uint64_t serving = state.wanted;
        const std::u16string text = state.tree->ToString();
        const std::u16string path = state.path;
        ruvo::ReplaceFileGate* gate = state.gate.get();
        lock.unlock();
        // A record that cannot be written stays in memory; the next save tries again.
        ReplaceTextFile(text, path, gate);
        lock.lock();
        state.saved = serving;
        state.changed.notify_all();
    }
}

// Waits until the save numbered target has been handled; callers hold the lock (in `lock`).
void WaitForSave(ReportState& state, std::unique_lock<std::mutex>& lock, uint64_t target) {
    state.changed.wait(lock, [&] { return state.saved >= target; });
}

// Texts from outside (titles, device names) as the record can hold them: its writer does not
// escape, so a double quote or a backslash would be read back as structure and a control
// character could end the text early; each becomes a readable stand-in. Long texts are cut
// (between characters, never inside a surrogate pair).
std::u16string RecordableText(const std::u16string& text) {
    std::u16string result = text.substr(0, kMaxReportTextLength);
    if (result.size() < text.size() && !result.empty() && result.back() >= 0xD800 && result.back() <= 0xDBFF)
        result.pop_back();
    for (char16_t& c : result) {
        if (c == u'"')
            c = u'\'';
        else if (c == u'\\')
            c = u'/';
        else if (c < 0x20 || c == 0x7F)
            c = u' ';
    }
    return result;
}

// --- The bound -------------------------------------------------------------------------------

// What one event adds to the written record, at most: its texts at up to three bytes a character
// and the members around them.
size_t EventBytes(CJson* event) {
    size_t bytes = 64;
    for (int i = 0; i < event->GetChildCount(); ++i) bytes += 3 * event->GetChild(i)->GetValue().size();
    return bytes;
}

struct EventRef {
    std::u16string time;
    CJson* values;
    CJson* event;
    size_t bytes;
};

// The groups under a node that holds them ("Recode", or a batch). A batch of one group reads back
// from the file as the group itself.
std::vector<CJson*> GroupsIn(CJson* holder) {
    std::vector<CJson*> groups;
    if (holder == nullptr) return groups;
    if (holder->FindChild(u"Category", u"") != nullptr) {
        groups.push_back(holder);
        return groups;
    }
    for (int g = 0; g < holder->GetChildCount(); ++g) groups.push_back(holder->GetChild(g));
    return groups;
}

// The events under a node that holds groups, each group holding "Action" entries whose "Value"
// holds the events.
void CollectEvents(CJson* holder, std::vector<EventRef>& events) {
    for (CJson* group : GroupsIn(holder)) {
        CJson* actions = group->FindChild(u"Action", u"");
        for (int a = 0; actions && a < actions->GetChildCount(); ++a) {
            CJson* values = actions->GetChild(a)->FindChild(u"Value", u"");
            for (int e = 0; values && e < values->GetChildCount(); ++e) {
                CJson* event = values->GetChild(e);
                CJson* time = event->FindChild(u"CTime", u"");
                events.push_back({time ? time->GetValue() : std::u16string(), values, event, EventBytes(event)});
            }
        }
    }
}

// Removes the actions whose events were all removed (their "Value" in emptied), then the groups
// left without actions. A holder that is a group itself is left for its owner to remove.
void PruneEmptied(CJson* holder, const std::set<CJson*>& emptied) {
    for (CJson* group : GroupsIn(holder)) {
        CJson* actions = group->FindChild(u"Action", u"");
        if (actions == nullptr) continue;
        bool removed = false;
        for (int a = actions->GetChildCount() - 1; a >= 0; --a) {
            CJson* entry = actions->GetChild(a);
            CJson* values = entry->FindChild(u"Value", u"");
            if (values != nullptr && emptied.count(values) && values->GetChildCount() == 0) {
                actions->RemoveChild(entry);
                removed = true;
            }
        }
        if (removed && actions->GetChildCount() == 0) {
            if (group == holder)
                holder->Clear();
            else
                holder->RemoveChild(group);
        }
    }
}

// Keeps the newest events under the holders within cap (estimated bytes): when they are over it,
// the oldest are dropped until target is reached. The estimated size of what is kept.
size_t BoundEvents(const std::vector<CJson*>& holders, size_t cap, size_t target) {
    std::vector<EventRef> events;
    for (CJson* holder : holders) CollectEvents(holder, events);
    size_t total = 0;
    for (const EventRef& event : events) total += event.bytes;
    if (total <= cap) return total;
    // Oldest first: the times are "%Y-%m-%d %H:%M:%S", which sort as text; events of one second
    // keep their order.
    std::stable_sort(events.begin(), events.end(),
                     [](const EventRef& a, const EventRef& b) { return a.time < b.time; });
    std::set<CJson*> emptied;
    for (const EventRef& event : events) {
        if (total <= target) break;
        total -= event.bytes;
        event.values->RemoveChild(event.event);
        if (event.values->GetChildCount() == 0) emptied.insert(event.values);
    }
    for (CJson* holder : holders) PruneEmptied(holder, emptied);
    return total;
}

// A start's bound: the events under "Recode", and the waiting batches together.
void BoundLoadedRecord(CJson* tree, size_t& recodeBytes) {
    recodeBytes = BoundEvents({tree->FindChild(kRecodeKey, u"")}, kMaxRecodeBytes, kMaxRecodeBytes);
    CJson* report = tree->FindChild(kReportKey, u"");
    std::vector<CJson*> batches, filled;
    for (int i = 0; i < report->GetChildCount(); ++i) {
        batches.push_back(report->GetChild(i));
        if (batches.back()->GetChildCount() > 0) filled.push_back(batches.back());
    }
    if (filled.empty()) return;
    BoundEvents(filled, kMaxRecodeBytes, kMaxRecodeBytes);
    // Batches whose every event was dropped go, as a batch the server acknowledged does (an empty
    // batch that was there before stays as it was).
    for (CJson* batch : filled)
        if (batch->GetChildCount() == 0) report->RemoveChild(batch);
    if (report->GetChildCount() == 0) report->SetValue(u"");
}

// How reading the record file went.
enum class RecordFile { Missing, Read, Refused };

// Reads the record file as text: only a regular file (not followed through a link, not waited for
// as a FIFO would make an open or read wait) of at most kMaxRecordReadBytes.
RecordFile ReadRecordFile(const std::u16string& path, std::u16string& text) {
    const std::string name = TextToAnsi(path);
    if (name.empty()) return RecordFile::Refused;
    ruvo::UniqueFd fd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (fd.Get() < 0) return errno == ENOENT ? RecordFile::Missing : RecordFile::Refused;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxRecordReadBytes)
        return RecordFile::Refused;
    // One byte more than the bound shows a file that grew past it since.
    std::string bytes(static_cast<size_t>(info.st_size) + 1, '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return RecordFile::Refused;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    if (done > static_cast<size_t>(kMaxRecordReadBytes)) return RecordFile::Refused;
    bytes.resize(done);
    // Up to the first zero byte, as a text file is read.
    text = AnsiToText(std::string_view(bytes.c_str()));
    // The record holds what its user did: the copy in memory does not outlive its use.
    explicit_bzero(bytes.data(), bytes.size());
    return RecordFile::Read;
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
    state.recodeBytes = 0;
    RequestSaveLocked(state);
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
    {
        Guard guard(state.lock);
        if (state.tree) return;
    }
    // Read and parse without the lock: events recorded meanwhile are not recorded yet (nothing is
    // before the load), and the end of the process does not wait for a large file.
    std::u16string text;
    const RecordFile file = ReadRecordFile(path, text);
    // Parse gives a tree for any text, so a damaged or foreign file still loads; the members
    // the record needs are then added to whatever it held.
    std::unique_ptr<CJson> tree(CJson::Parse(text));
    if (tree->FindChild(kRecodeKey, u"") == nullptr) tree->AddChild(kRecodeKey, u"");
    if (tree->FindChild(kReportKey, u"") == nullptr) tree->AddChild(kReportKey, u"");
    size_t recodeBytes = 0;
    BoundLoadedRecord(tree.get(), recodeBytes);

    Guard guard(state.lock);
    if (state.tree) return;
    state.tree = std::move(tree);
    state.recodeBytes = recodeBytes;
    // A refused file is left as it is: this run's record lives in memory only.
    state.path = file == RecordFile::Refused ? std::u16string() : path;
    state.stopSaver = false;
    if (!state.path.empty()) state.saver = std::thread(SaverThread);
}

void StartReporting(const std::u16string& url, const std::u16string& header) {
    ReportState& state = State();
    Guard guard(state.lock);
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

namespace {

// Adds the event to "Recode" and keeps "Recode" within its bound; callers hold the lock.
void AddEventLocked(ReportState& state, const std::u16string& categoryText, const std::u16string& actionText,
                    const std::u16string& labelText) {
    if (!state.tree) return;
    CJson* recode = state.tree->FindChild(kRecodeKey, u"");
    if (recode == nullptr) return;
    const std::u16string category = RecordableText(categoryText);
    const std::u16string action = RecordableText(actionText);

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
    event->AddChild(u"Value", RecordableText(labelText));
    event->AddChild(u"CTime", NowText());
    state.recodeBytes += EventBytes(event);
    // Over the bound, the oldest events go until a quarter of it is free again, so that the
    // dropping (a pass over every event) happens once per many events.
    if (state.recodeBytes > kMaxRecodeBytes)
        state.recodeBytes = BoundEvents({recode}, kMaxRecodeBytes, kMaxRecodeBytes / 4 * 3);
}

}  // namespace

void AddReport(const std::u16string& category, const std::u16string& action, const std::u16string& label) {
    ReportState& state = State();
    Guard guard(state.lock);
    AddEventLocked(state, category, action, label);
    RequestSaveLocked(state);
}

void SaveReports() {
    ReportState& state = State();
    std::unique_lock lock(state.lock);
    WaitForSave(state, lock, RequestSaveLocked(state));
}

bool EndReportingForExit(std::chrono::milliseconds bound, const std::u16string& category, const std::u16string& action,
                         const std::u16string& label) {
    ReportState& state = State();
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool written = false;
    ruvo::ReplaceFileGate* gate = nullptr;
    {
        std::unique_lock lock(state.lock, std::defer_lock);
        if (LockWithin(lock, deadline)) {
            gate = state.gate.get();
            AddEventLocked(state, category, action, label);
            const bool saving = state.tree && !state.path.empty() && state.saver.joinable();
            const uint64_t target = RequestSaveLocked(state);
            written = saving && state.changed.wait_until(lock, deadline, [&] { return state.saved >= target; });
        }
    }
    // Whatever happened, no save starts or finishes after this, and the temporary file of one cut
    // short is removed; a save under way (or the lock, when it was not had) is left behind. The
    // gate is held only to create or rename a file, so the wait past the bound is short.
    if (gate == nullptr) {
        // The lock was not had: the gate is read without it, as it changes only between starts.
        gate = state.gate.get();
    }
    gate->Close(std::chrono::milliseconds(250));
    return written;
}

void ReportSenderThread() {
    ReportState& state = State();
    CJson* report = nullptr;
    std::u16string url;
    std::u16string header;
    int count = 0;
    {
        Guard guard(state.lock);
        if (!state.tree) return;
        report = state.tree->FindChild(kReportKey, u"");
        if (report == nullptr) return;
        url = state.url;
        header = state.header;
        count = report->GetChildCount();
        if (count == 0) return;
    }
    // Only this thread changes "Report" while it runs (the batch was made before it started), so
    // the batch node stays valid while it is posted without the lock; holding the lock for a
    // whole request would stall every event recorded meanwhile.
    CHttpClient client(header);
    for (int i = 0; i < count; ++i) {
        CJson* batch = nullptr;
        {
            Guard guard(state.lock);
            batch = report->GetChild(i);
        }
        // A batch without events is skipped and stays.
        if (batch == nullptr || batch->GetChildCount() == 0) continue;
        const std::unique_ptr<CJson> answer = client.PostJson(url, batch, kBatchField);
        CJson* code = answer ? answer->FindChild(kResultCodeKey, u"") : nullptr;
        // Not acknowledged: this batch and the ones after it wait for the next start.
        if (code == nullptr || code->GetValue() != u"0") return;
        Guard guard(state.lock);
        report->RemoveChild(batch);
        // "Report" read back from the file holds groups as an object; emptied, it would be written
        // as "{}", which reads back as one empty batch, and a waiting batch, even an empty one,
        // keeps every later start from making a new one. An emptied "Report" is written as "".
        if (report->GetChildCount() == 0) report->SetValue(u"");
        --count;
        --i;
        RequestSaveLocked(state);
    }
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
        Guard guard(state.lock);
        sender = std::move(state.sender);
    }
    if (sender.joinable()) sender.join();
    SaveReports();
}

void UnloadReports() {
    WaitForReportSender();
    ReportState& state = State();
    std::thread saver;
    {
        Guard guard(state.lock);
        state.stopSaver = true;
        state.changed.notify_all();
        saver = std::move(state.saver);
    }
    if (saver.joinable()) saver.join();
    Guard guard(state.lock);
    state.tree.reset();
    state.path.clear();
    state.url.clear();
    state.header.clear();
    state.started = false;
    state.recodeBytes = 0;
    state.wanted = state.saved = 0;
    state.stopSaver = false;
    state.gate = std::make_unique<ruvo::ReplaceFileGate>();
}
