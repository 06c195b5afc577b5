// Tests of the link state: the initial app link record and the busy marks.
#include "CLinkState.h"
#include "RingtoneCommands.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records the busy display calls in order.
class RecordingDisplay : public IBusyDisplay {
public:
    void ShowBusy() override { calls.push_back("show"); }
    void HideBusy() override { calls.push_back("hide"); }
    std::vector<std::string> calls;
};

std::u16string ThreadRun(CJson* record) {
    return CLinkState::StateOf(record)->FindChild(u"ThreadRun", u"")->GetValue();
}

TEST(LinkState, InitialValues) {
    CLinkState state;
    EXPECT_EQ(state.m_polling, 0);
    EXPECT_EQ(state.m_heartbeat, 0);
    EXPECT_EQ(state.m_linkVersion, u"7");
    EXPECT_EQ(state.m_linkState.GetChildCount(), 0);
}

TEST(LinkState, NewRecordContent) {
    CLinkState state;
    state.m_heartbeat = 3;
    std::unique_ptr<CJson> record(state.NewAppRecord(u"com.mrz4.ringtone.pid40ch1"));

    EXPECT_EQ(record->GetKey(), u"com.mrz4.ringtone.pid40ch1");
    EXPECT_EQ(record->GetValue(), u"");
    ASSERT_EQ(record->GetDataLength(), 30);
    EXPECT_STREQ(reinterpret_cast<const char*>(record->GetData()), "com.mrz4.ringtone.pid40ch1");

    const char16_t* members[] = {u"Heartbeat_json", u"Request_json", u"Respone_json", u"State_json"};
    ASSERT_EQ(record->GetChildCount(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(record->GetChild(i)->GetKey(), members[i]) << "member " << i;

    CJson* heartbeat = CLinkState::HeartbeatOf(record.get());
    ASSERT_NE(heartbeat, nullptr);
    EXPECT_EQ(heartbeat->ToString(), u"{\"Version\":7,\"Heartbeat\":3}");
    EXPECT_EQ(heartbeat->FindChild(u"Version", u"")->GetType(), u"long");

    CJson* request = CLinkState::RequestOf(record.get());
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->ToString(),
              u"{\"Sign\":\"none\",\"Command\":\"addring\",\"FilePatch\":\"\",\"StoreName\":\"\",\"TimeMs\":\"0\"}");

    CJson* response = CLinkState::ResponseOf(record.get());
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->ToString(), u"{\"Sign\":\"\",\"Command\":\"addring\",\"Code\":\"0\",\"Message\":\"\"}");

    EXPECT_EQ(ThreadRun(record.get()), u"0");
}

TEST(LinkState, LongBundleIdIsCutToTheBlock) {
    CLinkState state;
    std::unique_ptr<CJson> record(state.NewAppRecord(u"com.example.a.very.long.bundle.identifier"));
    ASSERT_EQ(record->GetDataLength(), 30);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record->GetData())), "com.example.a.very.long.bundl");
    EXPECT_EQ(record->GetKey(), u"com.example.a.very.long.bundle.identifier");
}

TEST(LinkState, BeginAndEndBusy) {
    RecordingDisplay display;
    CLinkState state(&display);
    CJson* record = state.m_linkState.AddChild(state.NewAppRecord(u"app.one"));

    state.BeginBusy(CLinkState::StateOf(record));
    EXPECT_EQ(ThreadRun(record), u"1");
    EXPECT_EQ(CLinkState::StateOf(record)->FindChild(u"ThreadRun", u"")->GetType(), u"long");
    state.EndBusy(CLinkState::StateOf(record));
    EXPECT_EQ(ThreadRun(record), u"0");
    EXPECT_EQ(CLinkState::StateOf(record)->ToString(), u"\"State_json\":{\"ThreadRun\":0}")
        << "SetLong keeps 0 a number";
    EXPECT_EQ(display.calls, (std::vector<std::string>{"show", "hide"}));
}

TEST(LinkState, EndBusyWithoutStateOnlyHides) {
    RecordingDisplay display;
    CLinkState state(&display);
    CJson* record = state.m_linkState.AddChild(state.NewAppRecord(u"app.one"));
    state.BeginBusy(CLinkState::StateOf(record));
    const std::u16string before = state.m_linkState.ToString();

    state.EndBusy(nullptr);
    EXPECT_EQ(state.m_linkState.ToString(), before);
    EXPECT_EQ(ThreadRun(record), u"1");
    EXPECT_EQ(display.calls.back(), "hide");
}

TEST(LinkState, OverlappingCommandsOfTwoApps) {
    RecordingDisplay display;
    CLinkState state(&display);
    CJson* first = state.m_linkState.AddChild(state.NewAppRecord(u"app.one"));
    CJson* second = state.m_linkState.AddChild(state.NewAppRecord(u"app.two"));

    state.BeginBusy(CLinkState::StateOf(first));
    state.BeginBusy(CLinkState::StateOf(second));
    state.EndBusy(CLinkState::StateOf(first));

    EXPECT_EQ(display.calls, (std::vector<std::string>{"show", "show", "hide"}))
        << "the first finish already hides the display";
    EXPECT_EQ(ThreadRun(first), u"0");
    EXPECT_EQ(ThreadRun(second), u"1");
}

TEST(LinkState, WithoutDisplayBusyMarksStillWork) {
    CLinkState state;
    CJson* record = state.m_linkState.AddChild(state.NewAppRecord(u"app.one"));
    state.BeginBusy(CLinkState::StateOf(record));
    EXPECT_EQ(ThreadRun(record), u"1");
    state.EndBusy(CLinkState::StateOf(record));
    EXPECT_EQ(ThreadRun(record), u"0");
}

// A command thread marks its record busy and idle while the window thread writes the whole
// state and reads the mark; under ThreadSanitizer this shows that the writes are locked.
TEST(LinkState, BusyMarksWhileAnotherThreadReads) {
    CLinkState state;
    CJson* record = state.m_linkState.AddChild(state.NewAppRecord(u"app.one"));
    CJson* stateNode = CLinkState::StateOf(record);
    state.BeginBusy(stateNode);
    const std::u16string busy = state.m_linkState.ToString();
    state.EndBusy(stateNode);
    const std::u16string idle = state.m_linkState.ToString();
    ASSERT_NE(busy, idle);

    constexpr int kRounds = 300;
    std::thread command([&] {
        for (int n = 0; n < kRounds; ++n) {
            state.BeginBusy(stateNode);
            state.EndBusy(stateNode);
        }
    });
    int mismatches = 0;
    for (int n = 0; n < kRounds; ++n) {
        const std::u16string text = state.m_linkState.ToString();
        if (text != busy && text != idle) ++mismatches;
        const std::u16string mark = ThreadRun(record);
        if (mark != u"0" && mark != u"1") ++mismatches;
    }
    command.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(state.m_linkState.ToString(), idle);
}

}  // namespace

namespace {

// An exception escaping a command's procedure (memory running out for a large audio file or
// catalogue) ends that command as a failed one: answered Code 0 "系统繁忙", its busy mark ended, and
// the program goes on.
TEST(CommandThread, ExceptionBecomesABusyAnswer) {
    RecordingDisplay display;
    CLinkState state(&display);
    g_mainDialog = &state;
    std::unique_ptr<CJson> record(state.NewAppRecord(u"com.mrz4.ringtone.pid40ch1"));
    CLinkState::RequestOf(record.get())->FindChild(u"Sign", u"")->SetValue(u"77");

    using Procedure = void (*)(CJson*);
    const Procedure throwing[] = {
        [](CJson*) { throw std::bad_alloc(); },
        [](CJson*) { throw std::runtime_error("lost"); },
        [](CJson*) { throw 1; },
    };
    for (const Procedure procedure : throwing) {
        display.calls.clear();
        state.BeginBusy(CLinkState::StateOf(record.get()));
        std::thread([&] { RunCommandThread(procedure, record.get()); }).join();
        EXPECT_EQ(ThreadRun(record.get()), u"0");
        EXPECT_EQ(display.calls, (std::vector<std::string>{"show", "hide"}));
        EXPECT_EQ(CLinkState::ResponseHolderOf(record.get())->ToString(),
                  u"[{\"Sign\":77,\"Command\":\"addring\",\"Code\":0,\"Message\":\"系统繁忙\"}]");
    }
    g_mainDialog = nullptr;
}

}  // namespace
