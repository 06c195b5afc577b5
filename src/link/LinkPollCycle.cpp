// LinkPollCycle: companion-app discovery, heartbeats, answer delivery and request intake in the apps' containers.
#include "LinkPollCycle.h"

#include <cstring>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <string_view>
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

// How much of the response file is read to find the Sign of the answer in place: the answer is
// written with "Sign" as its first member, so the beginning of the file holds it, and a long
// answer (a whole catalogue) is never read whole for it.
constexpr int kAnsweredSignBytes = 4096;

// The Sign of the answer in the app's response file (the open container), empty when there is
// none. Only the text up to the end of the Sign's value is read as JSON, so whatever follows it
// (even a damaged or hostile rest) cannot make the reading costly.
std::u16string AnsweredSign(DeviceLink* link) {
    std::string bytes;
    if (!link->ReadFile(kResponseFile, bytes, kAnsweredSignBytes)) return {};
    static constexpr std::string_view kOpening = R"([{"Sign":)";
    if (bytes.compare(0, kOpening.size(), kOpening) != 0) return {};
    size_t end = kOpening.size();
    if (end < bytes.size() && bytes[end] == '"') {
        end = bytes.find('"', end + 1);
        if (end == std::string::npos) return {};
        ++end;
    } else {
        end = bytes.find_first_of(",}", end);
        if (end == std::string::npos) return {};
    }
    // Read back as the poll cycle reads a request, so the texts compare as the cycle compares them.
    const std::string answer = bytes.substr(0, end) + "}]";
    std::unique_ptr<CJson> parsed(CJson::Parse(Utf8OrAnsiToText(answer)));
    return MemberValue(parsed ? parsed->GetChild(0) : nullptr, u"Sign");
}

// A record made for an app whose request file already has its answer in the response file (left
// from an earlier run of the assistant, or from before the app's record was last removed) takes
// that Sign as its current request's, so that the answered request is not carried out again. A
// request without an answer keeps the placeholder and is carried out once. Callers hold the
// state's lock, which also keeps the poll cycle from using the link's container meanwhile.
void AdoptAnsweredSign(CJson* record, DeviceLink* link, const std::string& bundleId) {
    if (!link || !link->IsReady() || !link->OpenAppContainer(bundleId.c_str())) return;
    const std::u16string sign = AnsweredSign(link);
    link->CloseAppContainer();
    CJson* request = CLinkState::RequestOf(record);
    CJson* current = request ? request->FindChild(u"Sign", u"") : nullptr;
    if (current && !sign.empty()) current->SetValue(sign);
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
    if (!StartWorkerThread([procedure, record] { RunCommandThread(procedure, record); })) {
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
    // Memory for the file may run out: the app is told that the computer is busy, as when the
    // command itself fails.
    auto* buffer = new (std::nothrow) uint8_t[static_cast<size_t>(size) + 1]();
    if (!buffer) {
        StoreAnswer(record, 0, kMessageBusy);
        return;
    }
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
            CJson* made = state.NewAppRecord(key);
            AdoptAnsweredSign(made, link, id);
            state.m_linkState.AddChild(made);
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
    // The cycle's mark is taken down however the cycle ends, or no cycle would ever run again.
    struct EndOfCycle {
        CLinkState* state;
        ~EndOfCycle() { state->m_polling = 0; }
    } endOfCycle{state};
    for (int i = 0; i < count; ++i) {
        // The record is read, changed and dispatched under the state's lock, so discovery cannot
        // remove it meanwhile and a command's answer is never half-seen.
        std::scoped_lock lock(state->Lock());
        CJson* record = state->m_linkState.GetChild(i);
        DeviceLink* link = GetDeviceLink(-1);
        if (!record || !link || !link->IsReady()) continue;
        const std::string id = RecordBundleId(record);
        if (id.empty() || !link->OpenAppContainer(id.c_str())) continue;
        // Memory running out in one app's turn ends that turn; the container is closed and the
        // other apps still get theirs.
        try {
            PollRecord(*state, record, link);
        } catch (...) {
        }
        link->CloseAppContainer();
    }
}
