// The operations of the current device link on a virtual phone through the loaded libraries:
// files in the media area and in the companion app's container, the application lookups, the
// copy functions, and attach and detach racing with a thread that uses the link.
#include "DeviceLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "DeviceLinkFunctions.h"
#include "DeviceManager.h"
#include "DeviceTestSupport.h"

namespace fs = std::filesystem;
using device_test::Event;
using device_test::EventLog;
using device_test::PhoneHub;

namespace {

constexpr const char* kApp = "com.mrz4.ringtone.pid40ch1";

std::string FileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DeviceLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_hub = new PhoneHub;
        s_phone = s_hub->MakePhone("Linked", true, {kApp, "com.example.other"});
        StartDeviceManager(&EventLog::Callback, nullptr);
        PhoneHub::Plug(s_phone, true);
        ASSERT_TRUE(WaitReady(true));
    }
    static void TearDownTestSuite() {
        delete s_hub;
        s_hub = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(WaitReady(true));
        s_link = GetDeviceLink(-1);
        ASSERT_NE(s_link, nullptr);
    }
    void TearDown() override {
        if (s_link) s_link->CloseAppContainer();
    }

    // Waits until the current link's readiness is as asked.
    static bool WaitReady(bool ready) {
        const auto deadline = std::chrono::steady_clock::now() + device_test::kEventWait;
        for (;;) {
            DeviceLink* link = GetDeviceLink(-1);
            if (link && link->IsReady() == ready) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static fs::path Media() { return ruvo::phone::MediaRoot(s_phone); }
    static fs::path Container() { return ruvo::phone::ContainerRoot(s_phone, kApp); }

    static inline PhoneHub* s_hub = nullptr;
    static inline std::string s_phone;
    static inline DeviceLink* s_link = nullptr;
};

TEST_F(DeviceLinkTest, WritingIntoTheContainerMakesTheMissingFolder) {
    fs::remove_all(Container() / "Documents" / "PCConnection");
    ASSERT_EQ(s_link->OpenAppContainer(kApp), 1);
    const std::string beat = R"({"Version":"7"})";
    EXPECT_EQ(WriteDeviceFile("/Documents/PCConnection/Heartbeat", beat.data(), static_cast<int>(beat.size())), 1);
    EXPECT_EQ(FileText(Container() / "Documents" / "PCConnection" / "Heartbeat"), beat);
    EXPECT_FALSE(fs::exists(Media() / "Documents")) << "the container, not the media area, was written";

    // Reading back through the same container; a smaller buffer takes what fits.
    char buffer[64] = {};
    EXPECT_EQ(ReadDeviceFile("/Documents/PCConnection/Heartbeat", buffer, sizeof buffer),
              static_cast<int>(beat.size()));
    EXPECT_EQ(std::string(buffer), beat);
    char small[4] = {};
    EXPECT_EQ(ReadDeviceFile("/Documents/PCConnection/Heartbeat", small, sizeof small), 4);
    EXPECT_EQ(std::string(small, 4), beat.substr(0, 4));

    // An existing file is truncated and rewritten.
    EXPECT_EQ(WriteDeviceFile("/Documents/PCConnection/Heartbeat", "ab", 2), 1);
    EXPECT_EQ(FileText(Container() / "Documents" / "PCConnection" / "Heartbeat"), "ab");
}

TEST_F(DeviceLinkTest, WithoutAContainerTheMediaAreaIsUsed) {
    s_link->CloseAppContainer();
    EXPECT_EQ(WriteDeviceFile("/iTunes_Control/Test/note.txt", "media", 5), 1);
    EXPECT_EQ(FileText(Media() / "iTunes_Control" / "Test" / "note.txt"), "media");
    EXPECT_EQ(s_link->GetFileSize("/iTunes_Control/Test/note.txt"), 5);
    EXPECT_EQ(s_link->DirectoryExists("/iTunes_Control/Test"), 1);
    EXPECT_EQ(s_link->DirectoryExists("/iTunes_Control/Nothing"), 0);
    EXPECT_EQ(s_link->MakeDirectory("/iTunes_Control/Made"), 1);
    EXPECT_TRUE(fs::is_directory(Media() / "iTunes_Control" / "Made"));
}

TEST_F(DeviceLinkTest, FailuresAreZeroAndWriteNothing) {
    { std::ofstream(Media() / "empty.txt"); }
    char buffer[8] = {'k', 'e', 'p', 't', 0};
    struct Case {
        const char* desc;
        int result;
    };
    const Case cases[] = {
        {"write of no bytes", WriteDeviceFile("/zero.txt", "x", 0)},
        {"read of an empty file", ReadDeviceFile("/empty.txt", buffer, sizeof buffer)},
        {"read of a missing file", ReadDeviceFile("/missing.txt", buffer, sizeof buffer)},
        {"empty path", s_link->GetFileSize("")},
        {"container of an app the phone lacks", s_link->OpenAppContainer("com.example.absent")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.result, 0) << c.desc;
    EXPECT_FALSE(fs::exists(Media() / "zero.txt"));
    EXPECT_STREQ(buffer, "kept");
}

TEST_F(DeviceLinkTest, ApplicationLookupsAndFindInstalledApp) {
    s_link->LookupApplications(u"System");
    s_link->LookupApplications(u"User");
    EXPECT_EQ(s_link->InstalledApps(u"USER"),
              (std::vector<std::u16string>{u"com.mrz4.ringtone.pid40ch1", u"com.example.other"}));
    EXPECT_NE(FindInstalledApp(u"USER", kApp), nullptr);
    EXPECT_NE(FindInstalledApp(u"SYSTEM", "com.apple.Preferences"), nullptr);
    struct Case {
        const char* desc;
        std::u16string category;
        const char* bundleId;
    };
    const Case absent[] = {
        {"user app under SYSTEM", u"SYSTEM", kApp},
        {"not installed", u"USER", "com.example.absent"},
        {"the AppList node is no category", u"AppList", kApp},
        {"lower-case category", u"user", kApp},
    };
    for (const auto& c : absent) EXPECT_EQ(FindInstalledApp(c.category, c.bundleId), nullptr) << c.desc;

    // A second lookup replaces the category: one USER node, holding the new result.
    auto config = ruvo::phone::LoadPhone(s_phone);
    ASSERT_TRUE(config);
    const auto saved = *config;
    config->userApps = {kApp};
    ASSERT_TRUE(ruvo::phone::SavePhone(s_phone, *config));
    s_link->LookupApplications(u"User");
    EXPECT_EQ(s_link->InstalledApps(u"USER"), std::vector<std::u16string>{u"com.mrz4.ringtone.pid40ch1"});
    EXPECT_EQ(FindInstalledApp(u"USER", "com.example.other"), nullptr);
    ASSERT_TRUE(ruvo::phone::SavePhone(s_phone, saved));

    // The entry handed out is a copy: dropping the tree does not touch it.
    auto entry = FindInstalledApp(u"USER", kApp);
    ASSERT_NE(entry, nullptr);
    s_link->Reset();
    EXPECT_EQ(entry->GetKey(), u"com.mrz4.ringtone.pid40ch1");
    EXPECT_EQ(FindInstalledApp(u"USER", kApp), nullptr);
    s_link->Refresh();
}

TEST_F(DeviceLinkTest, ValuesAreCopiedOnlyFromAReadyLink) {
    char buffer[kDeviceValueBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    CopyProductVersion(buffer);
    EXPECT_STREQ(buffer, "16.7.2");
    CopyProductType(buffer);
    EXPECT_STREQ(buffer, "iPhone12,1");
    CopyBasebandVersion(buffer);
    EXPECT_STREQ(buffer, "5.00.00");

    PhoneHub::Plug(s_phone, false);
    ASSERT_TRUE(WaitReady(false));
    std::memset(buffer, 'x', sizeof buffer);
    CopyProductVersion(buffer);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x')) << "no device: untouched";
    EXPECT_EQ(WriteDeviceFile("/a.txt", "a", 1), 0);
    PhoneHub::Plug(s_phone, true);
    ASSERT_TRUE(WaitReady(true));
}

// Attach and detach replace the link's services on the notification thread while a worker
// uses them: nothing may crash or touch a service that was deleted (run under the sanitizers).
TEST_F(DeviceLinkTest, AttachAndDetachRaceWithAWorker) {
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread worker([&] {
        while (!stop) {
            DeviceLink* link = GetDeviceLink(-1);
            if (link->OpenAppContainer(kApp)) {
                WriteDeviceFile("/Documents/PCConnection/Heartbeat", "beat", 4);
                char buffer[16];
                ReadDeviceFile("/Documents/PCConnection/Heartbeat", buffer, sizeof buffer);
                link->CloseAppContainer();
            }
            WriteDeviceFile("/race.txt", "race", 4);
            link->GetFileSize("/race.txt");
            FindInstalledApp(u"USER", kApp);
            ++rounds;
        }
    });
    for (int i = 0; i < 6; ++i) {
        PhoneHub::Plug(s_phone, false);
        ASSERT_TRUE(WaitReady(false));
        PhoneHub::Plug(s_phone, true);
        ASSERT_TRUE(WaitReady(true));
        s_link->LookupApplications(u"User");
    }
    stop = true;
    worker.join();
    EXPECT_GT(rounds.load(), 0);
    // The link still works after the storm.
    EXPECT_EQ(WriteDeviceFile("/after.txt", "calm", 4), 1);
    EXPECT_EQ(FileText(Media() / "after.txt"), "calm");
}

}  // namespace
