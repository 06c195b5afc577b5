// Tests of discovery, the poll cycle and the commands in one process on a virtual phone, with discovery,
// poll cycles and command threads changing the link state at the same time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "CLinkState.h"
#include "DeviceManager.h"
#include "DeviceTestSupport.h"
#include "FileTestSupport.h"
#include "LinkPollCycle.h"
#include "RingtoneCatalogue.h"
#include "RingtoneCommands.h"
#include "VirtualPhone.h"
#include "WorkerThread.h"

namespace fs = std::filesystem;
using device_test::EventLog;
using device_test::PhoneHub;

namespace {

constexpr char kFirst[] = "com.mrz4.ringtone.pid40ch1";
constexpr char kSecond[] = "com.mrz4.ringtone.pid40ch2";

std::string FileBytes(const fs::path& path) { return file_test::ReadFile(path).value_or(""); }

void WriteRequest(const fs::path& folder, const std::string& text) { file_test::WriteFile(folder / "Request", text); }

using file_test::WaitFor;

std::vector<std::u16string> RecordKeys(CLinkState& state) {
    std::scoped_lock lock(state.Lock());
    std::vector<std::u16string> keys;
    for (int i = 0; i < state.m_linkState.GetChildCount(); ++i) keys.push_back(state.m_linkState.GetChild(i)->GetKey());
    return keys;
}

// Installs or removes the app on the phone, as a user would between two connections.
void SetUserApps(const std::string& phone, std::vector<std::string> apps) {
    auto config = ruvo::phone::LoadPhone(phone);
    ASSERT_TRUE(config);
    config->userApps = std::move(apps);
    ASSERT_TRUE(ruvo::phone::SavePhone(phone, *config));
}

class LinkOnPhone : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_hub = new PhoneHub;
        s_phone = s_hub->MakePhone("Link Phone", true, {kFirst, kSecond, "com.example.other"});
        StartDeviceManager(&EventLog::Callback, nullptr);
        PhoneHub::Plug(s_phone, true);
        WaitFor([] { return GetDeviceLink(-1) && GetDeviceLink(-1)->IsReady(); });
    }
    static void TearDownTestSuite() {
        delete s_hub;
        s_hub = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(GetDeviceLink(-1) && GetDeviceLink(-1)->IsReady());
        SetUserApps(s_phone, {kFirst, kSecond, "com.example.other"});
        g_mainDialog = &m_state;
    }
    void TearDown() override {
        // Nothing may still use the state when it goes.
        EXPECT_TRUE(WaitForWorkerThreads(std::chrono::seconds(60)));
        g_mainDialog = nullptr;
    }

    fs::path LinkFolder(const std::string& app) const {
        return fs::path(s_phone) / "containers" / app / "Documents" / "PCConnection";
    }

    static inline PhoneHub* s_hub = nullptr;
    static inline std::string s_phone;
    CLinkState m_state;
};

TEST_F(LinkOnPhone, DiscoveryFollowsTheInstalledAppsAndKeepsBusyRecords) {
    RefreshCompanionApps(m_state);
    ASSERT_EQ(RecordKeys(m_state),
              (std::vector<std::u16string>{u"com.mrz4.ringtone.pid40ch1", u"com.mrz4.ringtone.pid40ch2"}));

    // A record found again keeps its request; one whose command runs stays while its app is gone.
    CJson* first = m_state.m_linkState.GetChild(0);
    CLinkState::RequestOf(first)->FindChild(u"Sign", u"")->SetValue(u"kept");
    CJson* second = m_state.m_linkState.GetChild(1);
    m_state.BeginBusy(CLinkState::StateOf(second));
    SetUserApps(s_phone, {kFirst});
    RefreshCompanionApps(m_state);
    ASSERT_EQ(RecordKeys(m_state).size(), 2u);
    EXPECT_EQ(MemberValue(CLinkState::RequestOf(m_state.m_linkState.GetChild(0)), u"Sign"), u"kept");

    m_state.EndBusy(CLinkState::StateOf(second));
    RefreshCompanionApps(m_state);
    EXPECT_EQ(RecordKeys(m_state), (std::vector<std::u16string>{u"com.mrz4.ringtone.pid40ch1"}));

    // Reinstalled, the app gets a new record after the others.
    SetUserApps(s_phone, {kSecond, kFirst});
    RefreshCompanionApps(m_state);
    EXPECT_EQ(RecordKeys(m_state),
              (std::vector<std::u16string>{u"com.mrz4.ringtone.pid40ch1", u"com.mrz4.ringtone.pid40ch2"}));
}

// Writers everywhere: poll cycles (heartbeats, intake, delivery), command threads storing answers
// and ending their busy marks, and discovery adding and removing records, all at once.
TEST_F(LinkOnPhone, DiscoveryPollCyclesAndCommandsRunTogether) {
    RefreshCompanionApps(m_state);
    // The second app's record comes and goes; made again, it takes the Sign of the answer in
    // place, so its answered request is not carried out again.
    WriteRequest(LinkFolder(kSecond), R"([{"Sign":"again","Command":"foo"}])");
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        while (!stop) {
            StartWorkerThread([this] { LinkPollCycle(&m_state); });
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // Discovery with the second app coming and going; the first app stays.
    std::thread discovery([&] {
        for (int i = 0; !stop; ++i) {
            SetUserApps(s_phone, i % 2 ? std::vector<std::string>{kFirst} : std::vector<std::string>{kFirst, kSecond});
            RefreshCompanionApps(m_state);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    for (int sign = 100; sign < 120; ++sign) {
        WriteRequest(LinkFolder(kFirst), "[{\"Sign\":" + std::to_string(sign) + ",\"Command\":\"getring\"}]");
        const std::string prefix = "[{\"Sign\":" + std::to_string(sign) + ",\"Command\":\"getring\",\"Code\":1,";
        EXPECT_TRUE(WaitFor([&] { return FileBytes(LinkFolder(kFirst) / "Respone").rfind(prefix, 0) == 0; }))
            << FileBytes(LinkFolder(kFirst) / "Respone");
    }
    stop = true;
    poller.join();
    discovery.join();
    EXPECT_TRUE(WaitForWorkerThreads(std::chrono::seconds(60)));
    EXPECT_EQ(m_state.m_polling, 0);
    const std::string heartbeat = FileBytes(LinkFolder(kFirst) / "Heartbeat");
    EXPECT_EQ(heartbeat.rfind("{\"Version\":7,\"Heartbeat\":", 0), 0u) << heartbeat;
}

// Two companion apps asking to add a ringtone in the same poll cycle is the normal case: both
// commands run at once on one phone, round after round. Each app must be told it was done, and
// the phone must hold each app's tone under that app's title with that app's audio.
TEST_F(LinkOnPhone, TwoAppsAddingInOneCycleEachGetTheirOwnRingtone) {
    RefreshCompanionApps(m_state);
    const std::string apps[] = {kFirst, kSecond};
    ruvo::phone::MediaArea media(s_phone);
    ASSERT_TRUE(media.Valid());
    const auto catalogue = [&] {
        auto loaded = ruvo::phone::RingtoneCatalogue::Load(media);
        return loaded ? loaded->Entries() : std::vector<ruvo::phone::RingtoneCatalogue::Entry>{};
    };
    const fs::path tones = fs::path(s_phone) / "media" / "iTunes_Control" / "Ringtones";

    for (int round = 0; round < 5; ++round) {
        const size_t before = catalogue().size();
        std::map<std::string, std::string> audioOfTitle;
        std::string signs[2], expected[2];
        for (int app = 0; app < 2; ++app) {
            const std::string title = "Round " + std::to_string(round) + " app " + std::to_string(app);
            // Audio that differs between the apps from its first byte to its last.
            std::string audio(20000 + 1000 * app, '\0');
            for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * (app + 3) + round + 17 * app);
            audioOfTitle[title] = audio;
            file_test::WriteFile(fs::path(s_phone) / "containers" / apps[app] / "Documents" / "tone.m4r", audio);
            const std::string& sign = signs[app] = std::to_string(700 + round * 10 + app);
            WriteRequest(LinkFolder(apps[app]),
                         R"([{"Sign":)" + sign +
                             R"(,"Command":"addring","Parms":[{"filepatch":"/Documents/tone.m4r",)"
                             R"("storename":")" +
                             title + R"(","timems":3}]}])");
            expected[app] = "[{\"Sign\":" + sign + ",\"Command\":\"addring\",\"Code\":1,\"Message\":\"处理成功\"}]";
        }

        // One cycle takes both requests in and starts both commands.
        LinkPollCycle(&m_state);
        {
            std::scoped_lock lock(m_state.Lock());
            for (int app = 0; app < 2; ++app)
                EXPECT_EQ(MemberValue(CLinkState::RequestOf(m_state.m_linkState.GetChild(app)), u"Sign"),
                          std::u16string(signs[app].begin(), signs[app].end()))
                    << "round " << round << ": app " << app << " was not taken in by the first cycle";
        }
        // Later cycles deliver the answers as the commands end.
        const auto answered = [&](int app) {
            const std::string signPrefix = "[{\"Sign\":" + signs[app] + ",";
            return FileBytes(LinkFolder(apps[app]) / "Respone").rfind(signPrefix, 0) == 0;
        };
        const bool bothAnswered = WaitFor([&] {
            LinkPollCycle(&m_state);
            return answered(0) && answered(1);
        });
        ASSERT_TRUE(bothAnswered) << "round " << round;
        for (int app = 0; app < 2; ++app)
            EXPECT_EQ(FileBytes(LinkFolder(apps[app]) / "Respone"), expected[app]) << "round " << round;

        const auto entries = catalogue();
        EXPECT_EQ(entries.size(), before + 2) << "round " << round;
        for (const auto& [title, audio] : audioOfTitle) {
            int found = 0;
            for (const auto& entry : entries) {
                if (entry.name != title) continue;
                ++found;
                EXPECT_TRUE(FileBytes(tones / entry.file) == audio)
                    << "round " << round << ": " << title << " in " << entry.file << " holds other audio";
            }
            EXPECT_EQ(found, 1) << "round " << round << ": " << title;
        }
    }
}

// The request file is read with a fixed buffer: a request longer than 1023 bytes is cut there and
// then fails the bracket check, so it is ignored.
TEST_F(LinkOnPhone, OverlongRequestIsIgnored) {
    RefreshCompanionApps(m_state);
    WriteRequest(LinkFolder(kFirst),
                 "[{\"Sign\":\"long\",\"Command\":\"foo\",\"Pad\":\"" + std::string(1000, 'x') + "\"}]");
    fs::remove(LinkFolder(kFirst) / "Respone");
    for (int i = 0; i < 3; ++i) LinkPollCycle(&m_state);
    EXPECT_FALSE(fs::exists(LinkFolder(kFirst) / "Respone"));

    WriteRequest(LinkFolder(kFirst),
                 "[{\"Sign\":\"short\",\"Command\":\"foo\",\"Pad\":\"" + std::string(960, 'x') + "\"}]");
    LinkPollCycle(&m_state);
    LinkPollCycle(&m_state);
    EXPECT_EQ(FileBytes(LinkFolder(kFirst) / "Respone"),
              "[{\"Sign\":\"short\",\"Command\":\"foo\",\"Code\":-1,\"Message\":\"未知指令\"}]");
}

// A record made anew (the assistant started again, or the app's record made again by discovery)
// finds the request file still in place: a request whose answer is in the response file is not
// carried out again; one without its answer there is carried out once.
TEST_F(LinkOnPhone, NewRecordTakesTheAnsweredSign) {
    const fs::path folder = LinkFolder(kFirst);
    RefreshCompanionApps(m_state);
    WriteRequest(folder, R"([{"Sign":"r1","Command":"foo"}])");
    LinkPollCycle(&m_state);
    LinkPollCycle(&m_state);
    const std::string answer = R"([{"Sign":"r1","Command":"foo","Code":-1,"Message":"未知指令"}])";
    ASSERT_EQ(FileBytes(folder / "Respone"), answer);

    // A new start: the answered request is left alone (no answer is written again).
    {
        CLinkState restarted;
        RefreshCompanionApps(restarted);
        fs::remove(folder / "Respone");
        for (int i = 0; i < 3; ++i) LinkPollCycle(&restarted);
        EXPECT_FALSE(fs::exists(folder / "Respone")) << FileBytes(folder / "Respone");
    }

    // The response file holds another request's answer, or the beginning of one, or no answer
    // the assistant writes: the request in place is carried out, once.
    const std::string others[] = {
        R"([{"Sign":"r0","Command":"foo","Code":-1,"Message":"未知指令"}])",
        R"([{"Sign":"r0","Command":"getring","Code":1,"Message":"处理成功","Data":[)" + std::string(20000, '[') ,
        R"([{"Sign":"r1)",
        R"({"Sign":"r1"})",
        R"([{"Sign":r1)" + std::string(10000, '1'),
        std::string(100000, '['),
        "",
    };
    for (const std::string& other : others) {
        file_test::WriteFile(folder / "Respone", other);
        CLinkState restarted;
        RefreshCompanionApps(restarted);
        LinkPollCycle(&restarted);
        LinkPollCycle(&restarted);
        EXPECT_EQ(FileBytes(folder / "Respone"), answer) << other.substr(0, 60);
        fs::remove(folder / "Respone");
        for (int i = 0; i < 2; ++i) LinkPollCycle(&restarted);
        EXPECT_FALSE(fs::exists(folder / "Respone")) << "carried out twice after " << other.substr(0, 60);
        file_test::WriteFile(folder / "Respone", answer);
    }

    // A number as the Sign, and a Sign with a comma in its string, compare as the poll cycle reads them.
    for (const char* sign : {"12345", R"("a,b")", R"("铃声")"}) {
        const std::string request = std::string(R"([{"Sign":)") + sign + R"(,"Command":"foo"}])";
        WriteRequest(folder, request);
        file_test::WriteFile(folder / "Respone",
                             std::string(R"([{"Sign":)") + sign + R"(,"Command":"foo","Code":-1,"Message":"未知指令"}])");
        CLinkState restarted;
        RefreshCompanionApps(restarted);
        fs::remove(folder / "Respone");
        for (int i = 0; i < 2; ++i) LinkPollCycle(&restarted);
        EXPECT_FALSE(fs::exists(folder / "Respone")) << sign;
    }
}

TEST(LeadingInteger, ReadsAsThePhoneAppMeansIt) {
    const std::pair<const char16_t*, int32_t> cases[] = {
        {u"30", 30},
        {u"30abc", 30},
        {u"  -7x", -7},
        {u"+5", 5},
        {u"abc", 0},
        {u"", 0},
        {u"99999999999", INT32_MAX},
        {u"-99999999999", INT32_MIN},
        {u"\t12", 12},
        {u"1 2", 1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ReadLeadingInteger(text), value);
}

}  // namespace
