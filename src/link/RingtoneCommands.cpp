// RingtoneCommands: the list, add and delete commands against the current device link, with their reports and answers.
#include "RingtoneCommands.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "AudioConverter.h"
#include "CLinkState.h"
#include "DeviceLinkFunctions.h"
#include "DeviceManager.h"
#include "HostDescription.h"
#include "LinkFiles.h"
#include "TextEncoding.h"
#include "UsageReports.h"

namespace {

const char16_t* ActionText(bool success) { return success ? u"TRUE" : u"FALSE"; }

// Stores the answer and ends the busy mark in one step under the state's lock, so that the poll
// cycle never sees "ThreadRun" back at 0 without the answer, nor the answer half-built.
void FinishCommand(CJson* record, int32_t code, const std::u16string& message, bool withData = false,
                   std::unique_ptr<CJson> data = nullptr) {
    CLinkState* state = g_mainDialog;
    if (!state) {
        StoreAnswer(record, code, message, withData, std::move(data));
        return;
    }
    std::scoped_lock lock(state->Lock());
    StoreAnswer(record, code, message, withData, std::move(data));
    state->EndBusy(CLinkState::StateOf(record));
}

}  // namespace

std::u16string MakingRingtoneStatus(const std::u16string& name, int percent) {
    const std::string number = std::to_string(percent);
    return kTextMakingRingtone + name + u" " + std::u16string(number.begin(), number.end()) + u"%";
}

std::u16string MemberValue(CJson* node, const std::u16string& key) {
    CJson* member = node ? node->FindChild(key, u"") : nullptr;
    return member ? member->GetValue() : std::u16string();
}

CJson* RequestParameters(CJson* request) {
    CJson* parms = request ? request->FindChild(u"Parms", u"") : nullptr;
    return parms ? parms->GetChild(0) : nullptr;
}

int32_t ReadLeadingInteger(const std::u16string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int32_t>(value);
}

void StoreAnswer(CJson* record, int32_t code, const std::u16string& message, bool withData,
                 std::unique_ptr<CJson> data) {
    CJson* request = CLinkState::RequestOf(record);
    CJson* holder = CLinkState::ResponseHolderOf(record);
    if (!holder) return;

    // The answer is built whole before it is attached.
    auto* answer = new CJson();
    answer->AddChild(u"Sign", MemberValue(request, u"Sign"));
    answer->AddChild(u"Command", MemberValue(request, u"Command"));
    answer->AddChild(u"Code", u"")->SetLong(code);
    answer->AddChild(u"Message", message);
    if (withData) {
        CJson* dataMember = answer->AddChild(u"Data", u"");
        if (data) dataMember->AddChild(data.release());
    }
    holder->Clear();
    holder->AddChild(answer);
}

void RunCommandThread(void (*procedure)(CJson*), CJson* record) {
    try {
        procedure(record);
        return;
    } catch (...) {
    }
    try {
        FinishCommand(record, 0, kMessageBusy);
        return;
    } catch (...) {
    }
    // Not even the answer could be built: the busy mark still ends, so the app is not shut out
    // for good (it gets the answer in place when it asks again).
    try {
        if (CLinkState* state = g_mainDialog) {
            std::scoped_lock lock(state->Lock());
            state->EndBusy(CLinkState::StateOf(record));
        }
    } catch (...) {
    }
}

void GetListThread(CJson* record) {
    DeviceLink* link = GetDeviceLink(-1);
    std::unique_ptr<CJson> catalogue(link ? link->ListRingtones() : nullptr);
    const bool success = catalogue != nullptr;
    AddReport(u"GetList", ActionText(success), GetDeviceDescription());
    FinishCommand(record, success ? 1 : 0, kMessageDone, true, std::move(catalogue));
}

namespace {

// The app's audio as it goes to the phone: recognised audio that is not a ringtone yet is made
// into one (from second 0, at most 40 s), with its progress on the status line; a .m4r name and
// bytes of no recognised format stay as they are.
ruvo::audio::Prepared PrepareAppAudio(CJson* request, CJson* audio, const std::u16string& title) {
    ruvo::audio::Request converting;
    converting.bytes = std::string_view(reinterpret_cast<const char*>(audio->GetData()),
                                        static_cast<size_t>(audio->GetDataLength() - 1));
    // The file's name in the app's container decides .m4r and helps type finding.
    converting.name = TextToUtf8(MemberValue(RequestParameters(request), u"filepatch"));
    converting.title = TextToUtf8(title);
    CLinkState* state = g_mainDialog;
    bool shown = false;
    converting.progress = [state, &shown, &title](int percent) {
        if (!state) return;
        state->ShowActivity(MakingRingtoneStatus(title, percent));
        shown = true;
    };
    ruvo::audio::Prepared prepared = ruvo::audio::PrepareRingtone(converting);
    if (shown) state->EndActivity();
    return prepared;
}

}  // namespace

void AddRingtoneThread(CJson* record) {
    // "ThreadRun" keeps the poll cycle away from the request while this thread runs, so its
    // members stay as they are.
    CJson* request = CLinkState::RequestOf(record);
    CJson* parameters = RequestParameters(request);
    CJson* audio = parameters ? parameters->FindChild(u"data", u"") : nullptr;
    CJson* title = parameters ? parameters->FindChild(u"storename", u"") : nullptr;
    CJson* duration = parameters ? parameters->FindChild(u"timems", u"") : nullptr;
    if (!audio || !title || !duration) {
        FinishCommand(record, -1, kMessageBadParameters);
        return;
    }

    const std::u16string titleText = title->GetValue();
    const std::u16string durationText = duration->GetValue();
    std::string titleAnsi = TextToAnsi(titleText);
    int32_t seconds = ReadLeadingInteger(durationText);

    // The poll cycle stored the file's bytes followed by one zero byte; the zero is a terminator
    // of the block, not part of the audio, so the phone gets exactly the app's file, or the
    // ringtone made of it.
    bool success = false;
    DeviceLink* link = GetDeviceLink(-1);
    const int32_t length = audio->GetDataLength();
    if (length > 1 && link) {
        const ruvo::audio::Prepared prepared = PrepareAppAudio(request, audio, titleText);
        using Outcome = ruvo::audio::Prepared::Outcome;
        if (prepared.outcome == Outcome::Converted) {
            seconds = std::min(seconds, ruvo::audio::RecordedSeconds(prepared.seconds));
            success = link->AddRingtone(reinterpret_cast<const unsigned char*>(prepared.bytes.data()),
                                        static_cast<int>(prepared.bytes.size()), titleAnsi.c_str(), seconds) != 0;
        } else if (prepared.outcome != Outcome::Failed) {
            success = link->AddRingtone(audio->GetData(), length - 1, titleAnsi.c_str(), seconds) != 0;
        }
    }

    const std::u16string label =
        GetDeviceDescription() + u"|title:" + AnsiToText(titleAnsi) + u"|timems:" + durationText;
    AddReport(u"AddRingtone", ActionText(success), label);
    FinishCommand(record, success ? 1 : 0, success ? kMessageDone : kMessageBusy);
}

void DelRingtoneThread(CJson* record) {
    CJson* request = CLinkState::RequestOf(record);
    CJson* parameters = RequestParameters(request);
    CJson* pids = parameters ? parameters->FindChild(u"PID", u"") : nullptr;
    if (!pids) {
        FinishCommand(record, -1, kMessageBadParameters);
        return;
    }

    // A copy without a parent is written as a one-member object: {"PID":[...]}.
    std::unique_ptr<CJson> copy(pids->Clone());
    const std::u16string pidJson = copy ? copy->ToString() : std::u16string();
    const bool success = DeleteDeviceRingtones(pidJson, -1) != 0;

    AddReport(u"DelRingtone", ActionText(success), GetDeviceDescription());
    FinishCommand(record, success ? 1 : 0, success ? kMessageDone : kMessageBusy);
}
