// CLinkState: creation of app link records and the busy marks of their command threads.
#include "CLinkState.h"

#include <algorithm>
#include <cstring>

#include "TextEncoding.h"

namespace {

// The record keeps its bundle identifier also as ANSI bytes in a fixed block of this size.
constexpr int32_t kBundleIdBlockSize = 30;

CJson* FirstChildOf(CJson* record, const char16_t* member) {
    if (!record) return nullptr;
    CJson* holder = record->FindChild(member, u"");
    return holder ? holder->GetChild(0) : nullptr;
}

}  // namespace

CLinkState* g_mainDialog = nullptr;

CLinkState::CLinkState(IBusyDisplay* display) : m_display(display) {}

void CLinkState::BeginBusy(CJson* stateNode) {
    if (stateNode) {
        if (CJson* run = stateNode->FindChild(u"ThreadRun", u"")) run->SetLong(1);
    }
    if (m_display) m_display->ShowBusy();
}

void CLinkState::EndBusy(CJson* stateNode) {
    if (stateNode) {
        if (CJson* run = stateNode->FindChild(u"ThreadRun", u"")) run->SetLong(0);
    }
    if (m_display) m_display->HideBusy();
}

CJson* CLinkState::NewAppRecord(const std::u16string& bundleId) const {
    auto* record = new CJson();
    record->SetKey(bundleId);

    // The identifier is cut to fit the block with its terminating zero.
    std::string ansi = TextToAnsi(bundleId);
    auto* block = new uint8_t[kBundleIdBlockSize]();
    std::memcpy(block, ansi.data(), std::min<size_t>(ansi.size(), kBundleIdBlockSize - 1));
    record->SetData(block, kBundleIdBlockSize);

    CJson* heartbeatHolder = record->AddChild(u"Heartbeat_json", u"");
    auto* heartbeat = new CJson();
    heartbeat->AddChild(u"Version", m_linkVersion);
    heartbeat->AddChild(u"Heartbeat", static_cast<int32_t>(m_heartbeat.load()));
    heartbeatHolder->AddChild(heartbeat);

    CJson* requestMember = record->AddChild(u"Request_json", u"");
    auto* requestHolder = new CJson();
    auto* request = new CJson();
    request->AddChild(u"Sign", u"none");
    request->AddChild(u"Command", u"addring");
    request->AddChild(u"FilePatch", u"");
    request->AddChild(u"StoreName", u"");
    request->AddChild(u"TimeMs", static_cast<int32_t>(0));
    requestHolder->AddChild(request);
    requestMember->AddChild(requestHolder);

    CJson* responseMember = record->AddChild(u"Respone_json", u"");
    auto* responseHolder = new CJson();
    auto* response = new CJson();
    response->AddChild(u"Sign", u"");
    response->AddChild(u"Command", u"addring");
    response->AddChild(u"Code", static_cast<int32_t>(0));
    response->AddChild(u"Message", u"");
    responseHolder->AddChild(response);
    responseMember->AddChild(responseHolder);

    CJson* state = record->AddChild(u"State_json", u"");
    state->AddChild(u"ThreadRun", static_cast<int32_t>(0));
    return record;
}

CJson* CLinkState::HeartbeatOf(CJson* record) { return FirstChildOf(record, u"Heartbeat_json"); }

CJson* CLinkState::RequestHolderOf(CJson* record) { return FirstChildOf(record, u"Request_json"); }

CJson* CLinkState::ResponseHolderOf(CJson* record) { return FirstChildOf(record, u"Respone_json"); }

CJson* CLinkState::RequestOf(CJson* record) {
    CJson* holder = RequestHolderOf(record);
    return holder ? holder->GetChild(0) : nullptr;
}

CJson* CLinkState::ResponseOf(CJson* record) {
    CJson* holder = ResponseHolderOf(record);
    return holder ? holder->GetChild(0) : nullptr;
}

CJson* CLinkState::StateOf(CJson* record) { return record ? record->FindChild(u"State_json", u"") : nullptr; }
