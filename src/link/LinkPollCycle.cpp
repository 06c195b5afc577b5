// LinkPollCycle: companion-app discovery, heartbeats, answer delivery and request intake in the apps' containers.
#include "LinkPollCycle.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceLinkFunctions.h"
#include "DeviceManager.h"
#include "LinkFiles.h"
#include "RingtoneCommands.h"
#include "TextEncoding.h"
#include "WorkerThread.h"

namespace {

// The candidate bundle identifiers in the order they are tried.
std::vector<std::string> CompanionAppCandidates() {
    std::vector<std::string> ids;
    for (int n = 1; n <= 19; ++n) ids.push_back(kCompanionAppPrefix + std::to_string(n));
    for (int n = 100; n <= 119; ++n) ids.push_back(kCompanionAppPrefix + std::to_string(n));
    return ids;
}

// The bundle identifier kept in the record's data block (ANSI, zero-terminated).
std::string RecordBundleId(CJson* record) {
    const uint8_t* block = record->GetData();
    const int32_t length = record->GetDataLength();
    if (!block || length <= 0) return {};
    const auto* text = reinterpret_cast<const char*>(block);
    return std::string(text, strnlen(text, static_cast<size_t>(length)));
}

void WriteLinkFile(const char* path, const std::string& bytes) {
    // A failed write is not retried: the next cycle writes the heartbeat again.
    WriteDeviceFile(path, bytes.data(), static_cast<int>(bytes.size()));
}

// Starts the command's thread after marking the record busy; a thread that cannot start leaves
// an answer instead of a record that stays busy for ever.
void StartCommand(CLinkState& state, CJson* record, void (*procedure)(CJson*)) {
    CJson* stateNode = CLinkState::StateOf(record);
    state.BeginBusy(stateNode);
    if (!StartWorkerThread([procedure, record] { procedure(record); })) {
        StoreAnswer(record, 0, kMessageBusy);
        state.EndBusy(stateNode);
    }
}

// "addring": checks the parameters and reads the audio file from the container into the request.
void TakeAddRequest(CLinkState& state, CJson* record, CJson* request, DeviceLink* link) {
    CJson* parameters = RequestParameters(request);
    CJson* path = parameters ? parameters->FindChild(u"filepatch", u"") : nullptr;
    if (!path || !parameters->FindChild(u"storename", u"") || !parameters->FindChild(u"timems", u"")) {
        StoreAnswer(record, -1, kMessageBadParameters);
        return;
    }
    const std::string ansiPath = TextToAnsi(path->GetValue());
    const int size = link->IsReady() ? link->GetFileSize(ansiPath.c_str()) : 0;
    if (size <= 0) {
        StoreAnswer(record, -1, kMessageNoAudioFile);
        return;
    }
    // A file beyond any ringtone's size is refused rather than read into memory.
    if (size > kMaxAudioFileSize) {
        StoreAnswer(record, -1, kMessageReadFailed);
        return;
    }
    auto* buffer = new uint8_t[static_cast<size_t>(size) + 1]();
    const int got = ReadDeviceFile(ansiPath.c_str(), reinterpret_cast<char*>(buffer), size + 1);
    if (got != size) {
        std::memset(buffer, 0, static_cast<size_t>(size) + 1);
        delete[] buffer;
        StoreAnswer(record, -1, kMessageReadFailed);
        return;
    }
    // The file's bytes and one zero byte.
    parameters->AddChild(u"data", u"")->SetData(buffer, size + 1);
    StartCommand(state, record, AddRingtoneThread);
}

// Reads the request file; a request with a new Sign becomes the record's current request and is
// dispatched.
void TakeRequest(CLinkState& state, CJson* record, DeviceLink* link) {
    std::string buffer(kRequestBufferSize, '\0');
    const int got = ReadDeviceFile(kRequestFile, buffer.data(), kRequestBufferSize - 1);
    if (got <= 0) return;
    const std::u16string text = Utf8OrAnsiToText(std::string_view(buffer.data(), static_cast<size_t>(got)));
    if (!CJson::CheckJson(text)) return;

    std::unique_ptr<CJson> parsed(CJson::Parse(text));
    CJson* incoming = parsed->GetChild(0);
    CJson* current = CLinkState::RequestOf(record);
    CJson* sign = incoming ? incoming->FindChild(u"Sign", u"") : nullptr;
    if (!sign || sign->GetValue() == MemberValue(current, u"Sign")) return;

    CJson* holder = CLinkState::RequestHolderOf(record);
    if (!holder) return;
    holder->Clear();
    CJson* request = holder->AddChild(incoming->Clone());
    parsed.reset();

    const std::u16string command = MemberValue(request, u"Command");
    if (command == u"addring") {
        TakeAddRequest(state, record, request, link);
    } else if (command == u"getring") {
        StartCommand(state, record, GetListThread);
    } else if (command == u"delring") {
        CJson* parameters = RequestParameters(request);
        if (parameters && parameters->FindChild(u"PID", u""))
            StartCommand(state, record, DelRingtoneThread);
        else
            StoreAnswer(record, -1, kMessageBadParameters);
    } else {
        StoreAnswer(record, -1, kMessageUnknownCommand);
    }
}

// The cycle's work for one record whose container is open.
void PollRecord(CLinkState& state, CJson* record, DeviceLink* link) {
    CJson* heartbeat = CLinkState::HeartbeatOf(record);
    if (heartbeat) {
        if (CJson* counter = heartbeat->FindChild(u"Heartbeat", u"")) counter->SetLong(state.m_heartbeat.fetch_add(1));
        WriteLinkFile(kHeartbeatFile, TextToAnsi(heartbeat->ToString()));
    }

    // A command still runs for this app: its request and response are the thread's.
    if (MemberValue(CLinkState::StateOf(record), u"ThreadRun") != u"0") return;

    CJson* response = CLinkState::ResponseOf(record);
    CJson* request = CLinkState::RequestOf(record);
    CJson* responseSign = response ? response->FindChild(u"Sign", u"") : nullptr;
    CJson* requestSign = request ? request->FindChild(u"Sign", u"") : nullptr;
    if (responseSign && requestSign && responseSign->GetValue() == requestSign->GetValue()) {
        if (CJson* holder = CLinkState::ResponseHolderOf(record))
            WriteLinkFile(kResponseFile, AnsiToUtf8(TextToAnsi(holder->ToString())));
        // Delivered (or lost with a failed write): not written again.
        responseSign->SetLong(-1);
    }

    TakeRequest(state, record, link);
}

}  // namespace

void RefreshCompanionApps(CLinkState& state) {
    DeviceLink* link = GetDeviceLink(-1);
    if (link && link->IsReady()) {
        link->LookupApplications(u"System");
        link->LookupApplications(u"User");
    }
    for (const std::string& id : CompanionAppCandidates()) {
        // Null when the link is not ready or has no list: every record then goes.
        const bool found = FindInstalledApp(u"USER", id.c_str()) != nullptr;
        const std::u16string key = AnsiToText(id);
        std::scoped_lock lock(state.Lock());
        CJson* record = state.m_linkState.FindChild(key, u"");
        if (found && !record) {
            state.m_linkState.AddChild(state.NewAppRecord(key));
        } else if (!found && record) {
            if (MemberValue(CLinkState::StateOf(record), u"ThreadRun") == u"0") state.m_linkState.RemoveChild(record);
        }
    }
}

void LinkPollCycle(CLinkState* state) {
    int idle = 0;
    if (!state || !state->m_polling.compare_exchange_strong(idle, 1)) return;

    int count;
    {
        std::scoped_lock lock(state->Lock());
        count = state->m_linkState.GetChildCount();
    }
    for (int i = 0; i < count; ++i) {
        // The record is read, changed and dispatched under the state's lock, so discovery cannot
        // remove it meanwhile and a command's answer is never half-seen.
        std::scoped_lock lock(state->Lock());
        CJson* record = state->m_linkState.GetChild(i);
        DeviceLink* link = GetDeviceLink(-1);
        if (!record || !link || !link->IsReady()) continue;
        const std::string id = RecordBundleId(record);
        if (id.empty() || !link->OpenAppContainer(id.c_str())) continue;
        PollRecord(*state, record, link);
        link->CloseAppContainer();
    }
    state->m_polling = 0;
}
