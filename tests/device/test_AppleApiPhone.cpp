// A virtual phone driven through AppleApi alone: the libraries loaded by LoadAppleLibraries, the
// phone made and plugged in with the ruvo-phone tool, and every platform call made through the
// table's pointers. Loading lasts for the life of the process, so these tests have an executable
// of their own, which loads once.
#include "AppleApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The library's driver looks at the hub every 200 ms; a notice is waited for this long at most.
constexpr auto kNoticeWait = 20s;

// Runs ruvo-phone with the arguments; true when it exits with status 0.
bool RunPhoneTool(const std::vector<std::string>& args) {
    std::vector<std::string> all{RUVO_TEST_PHONE_TOOL};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs the actions in reverse order when it goes out of scope, so a failed assertion still
// closes what was opened.
class Cleanup {
public:
    ~Cleanup() {
        for (auto it = m_actions.rbegin(); it != m_actions.rend(); ++it) (*it)();
    }
    void Add(std::function<void()> action) { m_actions.push_back(std::move(action)); }

private:
    std::vector<std::function<void()>> m_actions;
};

// A CF string made through the table, released through it.
class CFText {
public:
    explicit CFText(const char* text)
        : m_ref(AppleApi.CFStringCreateWithCString(nullptr, text, apple::kCFStringEncodingUTF8)) {}
    ~CFText() {
        if (m_ref) AppleApi.CFRelease(m_ref);
    }
    CFText(const CFText&) = delete;
    CFText& operator=(const CFText&) = delete;
    apple::CFStringRef get() const { return m_ref; }

private:
    apple::CFStringRef m_ref;
};

std::string Utf8(apple::CFStringRef text) {
    if (!text) return "";
    std::vector<char> buffer(static_cast<size_t>(AppleApi.CFStringGetLength(text)) * 4 + 1);
    if (!AppleApi.CFStringGetCString(text, buffer.data(), static_cast<apple::CFIndex>(buffer.size()),
                                     apple::kCFStringEncodingUTF8))
        return "";
    return buffer.data();
}

// The notices of one subscription made through the table, by device id.
class Notices {
public:
    Notices() { m_result = AppleApi.AMDeviceNotificationSubscribe(&Notices::Handler, 0, 0, this, &m_subscription); }
    ~Notices() {
        if (m_subscription) AppleApi.AMDeviceNotificationUnsubscribe(m_subscription);
    }
    Notices(const Notices&) = delete;
    Notices& operator=(const Notices&) = delete;

    int result() const { return m_result; }

    // The device of the latest notice with this message for the id, once one has come; null
    // when none came within the wait.
    apple::AMDeviceRef WaitFor(const std::string& id, unsigned int message) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, kNoticeWait, [&] { return m_latest.count(id) && m_latest[id].message == message; });
        const auto it = m_latest.find(id);
        return it != m_latest.end() && it->second.message == message ? it->second.device : nullptr;
    }

private:
    struct Notice {
        apple::AMDeviceRef device;
        unsigned int message;
    };

    static void Handler(apple::am_device_notification_callback_info* info, void* arg) {
        auto* self = static_cast<Notices*>(arg);
        apple::CFStringRef id = AppleApi.AMDeviceCopyDeviceIdentifier(info->dev);
        const std::string key = Utf8(id);
        if (id) AppleApi.CFRelease(id);
        std::scoped_lock lock(self->m_mutex);
        self->m_latest[key] = {info->dev, info->msg};
        self->m_changed.notify_all();
    }

    apple::AMDeviceNotificationRef m_subscription = nullptr;
    int m_result = -1;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, Notice> m_latest;
};

int AfcWrite(apple::AFCConnectionRef afc, const char* path, const std::string& data) {
    apple::AFCFileRef ref = 0;
    if (const int error = AppleApi.AFCFileRefOpen(afc, path, apple::AFC_MODE_WRITE, &ref)) return error;
    const int written = AppleApi.AFCFileRefWrite(afc, ref, data.data(), static_cast<uint32_t>(data.size()));
    const int closed = AppleApi.AFCFileRefClose(afc, ref);
    return written ? written : closed;
}

// The whole file, read in pieces smaller than it; nothing when a call fails.
std::optional<std::string> AfcRead(apple::AFCConnectionRef afc, const char* path) {
    apple::AFCFileRef ref = 0;
    if (AppleApi.AFCFileRefOpen(afc, path, apple::AFC_MODE_READ, &ref) != 0) return std::nullopt;
    std::string data;
    for (;;) {
        char buffer[1000];
        uint32_t length = sizeof buffer;
        if (AppleApi.AFCFileRefRead(afc, ref, buffer, &length) != 0) {
            AppleApi.AFCFileRefClose(afc, ref);
            return std::nullopt;
        }
        if (length == 0) break;
        data.append(buffer, length);
    }
    if (AppleApi.AFCFileRefClose(afc, ref) != 0) return std::nullopt;
    return data;
}

std::string FileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The phones and the hub of this process, removed when it ends.
class TempRoot {
public:
    TempRoot() {
        std::string pattern = (fs::temp_directory_path() / "ruvo-apiphone-XXXXXX").string();
        if (::mkdtemp(pattern.data())) m_path = pattern;
    }
    ~TempRoot() {
        std::error_code error;
        if (!m_path.empty()) fs::remove_all(m_path, error);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

class PhoneThroughTable : public ::testing::Test {
protected:
    // Once per process: the hub is set before the library's driver first reads it, and the
    // libraries stay loaded.
    static void SetUpTestSuite() {
        static TempRoot root;
        static const bool loaded = [] {
            if (root.path().empty()) return false;
            ::setenv("RUVO_PHONE_HUB", (root.path() + "/hub").c_str(), 1);
            ::setenv("RUVO_SUPPORT_DIR", RUVO_TEST_SUPPORT_DIR, 1);
            return LoadAppleLibraries();
        }();
        s_root = root.path();
        s_loaded = loaded;
    }
    void SetUp() override {
        ASSERT_FALSE(s_root.empty()) << "no temporary directory";
        ASSERT_TRUE(s_loaded) << "the libraries did not load from " << RUVO_TEST_SUPPORT_DIR;
    }

    static inline std::string s_root;
    static inline bool s_loaded = false;
};

TEST_F(PhoneThroughTable, FileWrittenOverAfcReadsBack) {
    // A phone of its own each run, so the test can be repeated in one process.
    static int runs = 0;
    const std::string dir = s_root + "/phone" + std::to_string(runs++);
    ASSERT_TRUE(RunPhoneTool({"init", dir}));
    Cleanup cleanup;
    cleanup.Add([dir] { RunPhoneTool({"unplug", dir}); });

    // The hub names each phone's link by its device id.
    std::string id;
    for (const auto& entry : fs::directory_iterator(s_root + "/hub")) {
        std::error_code ec;
        if (fs::equivalent(entry.path(), dir, ec)) id = entry.path().filename();
    }
    ASSERT_FALSE(id.empty()) << dir << " is not in the hub";

    Notices notices;
    ASSERT_EQ(notices.result(), 0);
    ASSERT_TRUE(RunPhoneTool({"plug", dir}));
    const apple::AMDeviceRef device = notices.WaitFor(id, apple::ADNCI_MSG_CONNECTED);
    ASSERT_NE(device, nullptr) << "no attach notice for " << id;

    ASSERT_EQ(AppleApi.AMDeviceConnect(device), 0);
    cleanup.Add([device] { EXPECT_EQ(AppleApi.AMDeviceDisconnect(device), 0); });
    EXPECT_NE(AppleApi.AMDeviceIsPaired(device), 0);
    ASSERT_EQ(AppleApi.AMDeviceValidatePairing(device), 0);
    ASSERT_EQ(AppleApi.AMDeviceStartSession(device), 0);
    cleanup.Add([device] { EXPECT_EQ(AppleApi.AMDeviceStopSession(device), 0); });

    int socket = -1;
    const CFText service("com.apple.afc");
    ASSERT_EQ(AppleApi.AMDeviceStartService(device, service.get(), &socket, nullptr), 0);
    ASSERT_GE(socket, 0);
    cleanup.Add([socket] { ::close(socket); });

    apple::AFCConnectionRef afc = nullptr;
    ASSERT_EQ(AppleApi.AFCConnectionOpen(socket, 10, &afc), 0);
    ASSERT_NE(afc, nullptr);
    cleanup.Add([afc] { EXPECT_EQ(AppleApi.AFCConnectionClose(afc), 0); });

    // Longer than one read, with every byte value, so pieces and binary data both show.
    std::string content;
    for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(i * 7));
    ASSERT_EQ(AppleApi.AFCDirectoryCreate(afc, "/Ruvo"), 0);
    ASSERT_EQ(AfcWrite(afc, "/Ruvo/roundtrip.bin", content), 0);
    EXPECT_EQ(AfcRead(afc, "/Ruvo/roundtrip.bin"), content);
    // The file is the phone's: it is in the phone's media area.
    EXPECT_EQ(FileText(fs::path(dir) / "media" / "Ruvo" / "roundtrip.bin"), content);
}

}  // namespace
