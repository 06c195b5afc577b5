// Tests of the phone side: the phone's folder and hub, its service connections and how they end,
// and path lookups where the kernel refuses openat2.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AfcProtocol.h"
#include "AfcServer.h"
#include "PathResolver.h"
#include "PhoneServices.h"
#include "UniqueFd.h"
#include "VirtualPhone.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ruvo::UniqueFd;
using ruvo::phone::PhoneConfig;
using ruvo::phone::PhoneServices;
using ruvo::phone::StartError;

namespace {

// A private folder for one test, removed afterwards; the hub of virtual phones points into it.
class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/ruvo-vp-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_savedHub = Saved("RUVO_PHONE_HUB");
        ::setenv("RUVO_PHONE_HUB", (m_dir / "hub").c_str(), 1);
    }
    void TearDown() override {
        Restore("RUVO_PHONE_HUB", m_savedHub);
        std::error_code error;
        fs::remove_all(m_dir, error);
    }

    static std::optional<std::string> Saved(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }

    std::string MakePhone(PhoneConfig config = {}) {
        const std::string dir = (m_dir / ("phone" + std::to_string(m_phones++))).string();
        std::string error;
        EXPECT_TRUE(ruvo::phone::CreatePhone(dir, std::move(config), &error)) << error;
        return dir;
    }

    fs::path m_dir;
    int m_phones = 0;
    std::optional<std::string> m_savedHub;
};

// True when the peer of fd has closed (or shut down) the connection, without waiting.
bool ClosedNow(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// --- Device ids and the hub ---

TEST(VirtualPhoneIds, OnlyRealShapedDeviceIdsAreAccepted) {
    struct Case {
        const char* desc;
        std::string id;
        bool valid;
    };
    const Case cases[] = {
        {"40 lower-case hex digits", std::string(40, 'a'), true},
        {"40 mixed-case hex digits", "0123456789abcdefABCDEF0123456789abcdefAB", true},
        {"8-16 form", "00008030-001A2B3C4D5E6F70", true},
        {"8-16 form, lower case", "00008030-001a2b3c4d5e6f70", true},
        {"empty", "", false},
        {"39 digits", std::string(39, '1'), false},
        {"41 digits", std::string(41, '1'), false},
        {"non-hex letter", std::string(39, 'a') + "g", false},
        {"8-16 form with the dash elsewhere", "0000803-0001A2B3C4D5E6F70", false},
        {"8-16 form, 15 digits after", "00008030-001A2B3C4D5E6F7", false},
        {"path climbing out", "../../../../etc/passwd000000000000000000", false},
        {"slash inside", std::string(20, 'a') + "/" + std::string(19, 'a'), false},
        {"dot-dot", "..", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ruvo::phone::IsValidDeviceId(c.id), c.valid) << c.desc;
}

TEST_F(TempDir, APhoneWithABadDeviceIdIsNoPhone) {
    const std::string dir = MakePhone();
    // Edit the stored id as a person (or a hostile file) might.
    const fs::path state = fs::path(dir) / "device.plist";
    std::ifstream in(state);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto loaded = ruvo::phone::LoadPhone(dir);
    ASSERT_TRUE(loaded);
    const size_t at = text.find(loaded->uniqueDeviceId);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, loaded->uniqueDeviceId.size(), "../../escape");
    std::ofstream(state, std::ios::trunc) << text;

    EXPECT_FALSE(ruvo::phone::LoadPhone(dir));
    std::string error;
    EXPECT_FALSE(ruvo::phone::RegisterPhone(dir, &error));
    EXPECT_FALSE(fs::exists(m_dir / "escape"));

    PhoneConfig config;
    config.uniqueDeviceId = "not-an-id";
    EXPECT_FALSE(ruvo::phone::CreatePhone((m_dir / "other").string(), config, &error));
    EXPECT_NE(error.find("not a unique device id"), std::string::npos) << error;
}

TEST_F(TempDir, StringsHoldingNulDoNotTakeThePhoneDown) {
    // libplist aborts the process when a string holding U+0000 is read with its copying getter;
    // a state file is anybody's to edit, and the driver reads it every round.
    const std::string dir = MakePhone();
    const auto loaded = ruvo::phone::LoadPhone(dir);
    ASSERT_TRUE(loaded);
    const std::string xml =
        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") + "<key>UniqueDeviceID</key><string>" +
        loaded->uniqueDeviceId + "</string>" + "<key>DeviceName</key><string>Bad" + std::string(1, '\0') +
        "Name</string>" + "<key>Applications</key><dict><key>User</key><array><string>com.example" +
        std::string(1, '\0') + ".x</string><string>com.example.ok</string></array></dict>" + "</dict></plist>";
    std::ofstream(fs::path(dir) / "device.plist", std::ios::binary | std::ios::trunc) << xml;
    const auto config = ruvo::phone::LoadPhone(dir);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->deviceName, PhoneConfig{}.deviceName) << "the bad name reads as no name";
    EXPECT_EQ(config->userApps, std::vector<std::string>{"com.example.ok"});
}

TEST_F(TempDir, TheHubIsPrivateAndNeverInATemporaryFolder) {
    const auto savedState = Saved("XDG_STATE_HOME");
    const auto savedHome = Saved("HOME");
    struct Case {
        const char* desc;
        std::optional<std::string> hub, state, home;
        std::string expected;  // relative to m_dir; empty: no hub
    };
    const std::string base = m_dir.string();
    const Case cases[] = {
        {"RUVO_PHONE_HUB first", base + "/named", base + "/state", base + "/home", "named"},
        {"then XDG_STATE_HOME", std::nullopt, base + "/state", base + "/home", "state/ruvo/phones"},
        {"then the home folder", std::nullopt, std::nullopt, base + "/home", "home/.local/state/ruvo/phones"},
        {"empty values count as unset", std::string(), std::string(), base + "/home", "home/.local/state/ruvo/phones"},
    };
    for (const auto& c : cases) {
        Restore("RUVO_PHONE_HUB", c.hub);
        Restore("XDG_STATE_HOME", c.state);
        Restore("HOME", c.home);
        EXPECT_EQ(ruvo::phone::HubDirectory(), base + "/" + c.expected) << c.desc;
    }
    // Without HOME the account's home folder is used, never a shared temporary one.
    ::unsetenv("RUVO_PHONE_HUB");
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("HOME");
    const std::string fallback = ruvo::phone::HubDirectory();
    EXPECT_EQ(fallback.rfind(fs::temp_directory_path().string(), 0), std::string::npos) << fallback;
    EXPECT_EQ(fallback.rfind("/tmp", 0), std::string::npos) << fallback;

    // Registering creates the hub and the folders above it that were missing, private to the user.
    Restore("HOME", savedHome);
    ::setenv("XDG_STATE_HOME", (base + "/fresh-state").c_str(), 1);
    const std::string dir = MakePhone();
    for (const fs::path& folder :
         {m_dir / "fresh-state", m_dir / "fresh-state/ruvo", m_dir / "fresh-state/ruvo/phones"}) {
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
    EXPECT_EQ(ruvo::phone::RegisteredPhones(), std::vector<std::string>{fs::absolute(dir).lexically_normal().string()});
    Restore("XDG_STATE_HOME", savedState);
    ::setenv("RUVO_PHONE_HUB", (m_dir / "hub").c_str(), 1);
}

TEST_F(TempDir, ConcurrentUpdatesOfOnePhoneAreNotLost) {
    const std::string dir = MakePhone();
    // Two commands change different values of the same phone at once, many times over; each
    // one's last change must survive the other's read-modify-write.
    constexpr int kRounds = 200;
    std::thread plugger([&] {
        for (int i = 0; i < kRounds; ++i) ruvo::phone::SetPlugged(dir, i % 2 == 0, nullptr);
    });
    std::thread truster([&] {
        for (int i = 0; i < kRounds; ++i) ruvo::phone::SetTrusted(dir, i % 2 == 1, nullptr);
    });
    plugger.join();
    truster.join();
    const auto config = ruvo::phone::LoadPhone(dir);
    ASSERT_TRUE(config);
    EXPECT_FALSE(config->plugged);  // the last of the plugger's changes
    EXPECT_TRUE(config->trusted);   // the last of the truster's changes
}

// --- Service connections ---

TEST_F(TempDir, ServicesRefuseWhatThePhoneDoesNotOffer) {
    PhoneConfig untrusted;
    untrusted.trusted = false;
    PhoneConfig noAfc2;
    noAfc2.offersAfc2 = false;
    struct Case {
        const char* desc;
        PhoneConfig config;
        const char* service;
        StartError expected;
    };
    const Case cases[] = {
        {"afc", {}, "com.apple.afc", StartError::None},
        {"house_arrest", {}, "com.apple.mobile.house_arrest", StartError::None},
        {"afc2 offered", {}, "com.apple.afc2", StartError::None},
        {"afc2 not offered", noAfc2, "com.apple.afc2", StartError::NotFound},
        {"sync agent", {}, "com.apple.atc", StartError::None},
        {"sync agent, not trusted", untrusted, "com.apple.atc", StartError::NotPaired},
        {"unknown", {}, "com.apple.atc.unknown", StartError::NotFound},
        {"not trusted", untrusted, "com.apple.afc", StartError::NotPaired},
    };
    for (const auto& c : cases) {
        PhoneServices services(MakePhone(c.config));
        const auto started = services.Start(c.service);
        UniqueFd socket(started.fd);
        EXPECT_EQ(started.error, c.expected) << c.desc;
        EXPECT_EQ(socket.Valid(), c.expected == StartError::None) << c.desc;
    }
}

TEST_F(TempDir, StopEndsEveryConnectionBeforeItReturns) {
    PhoneServices services(MakePhone());
    std::vector<UniqueFd> clients;
    // An idle AFC connection and a house_arrest connection still waiting for its request.
    for (const char* name : {"com.apple.afc", "com.apple.mobile.house_arrest", "com.apple.afc"}) {
        const auto started = services.Start(name);
        ASSERT_EQ(started.error, StartError::None) << name;
        clients.emplace_back(started.fd);
    }
    EXPECT_EQ(services.ActiveConnections(), 3u);
    services.Stop();
    // Nothing is served after Stop: every client sees its connection end at once.
    EXPECT_EQ(services.ActiveConnections(), 0u);
    for (const auto& client : clients) EXPECT_TRUE(ClosedNow(client.Get()));
    EXPECT_EQ(services.Start("com.apple.afc").error, StartError::Gone);
}

TEST_F(TempDir, OneConnectionOverTheCapIsRefusedAtOnce) {
    PhoneServices services(MakePhone());
    std::vector<UniqueFd> clients;
    for (size_t i = 0; i < PhoneServices::kMaxConnections; ++i) {
        const auto started = services.Start("com.apple.afc");
        ASSERT_EQ(started.error, StartError::None) << i;
        clients.emplace_back(started.fd);
    }
    const auto refused = services.Start("com.apple.afc");
    EXPECT_EQ(refused.error, StartError::Busy);
    EXPECT_EQ(refused.fd, -1);
    // Closing one frees its place as soon as its server has seen it close.
    clients.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (services.ActiveConnections() == PhoneServices::kMaxConnections &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const auto again = services.Start("com.apple.afc");
    UniqueFd socket(again.fd);
    EXPECT_EQ(again.error, StartError::None);
}

TEST_F(TempDir, UnplugEndsConnectionsAndRefusesNewOnes) {
    PhoneServices services(MakePhone());
    const auto started = services.Start("com.apple.afc");
    ASSERT_EQ(started.error, StartError::None);
    UniqueFd client(started.fd);
    services.Unplug();
    pollfd p{client.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char byte;
    EXPECT_EQ(::recv(client.Get(), &byte, 1, 0), 0);
    EXPECT_EQ(services.Start("com.apple.afc").error, StartError::Gone);
}

TEST_F(TempDir, ARootThatIsALinkIsNotOpened) {
    const std::string dir = MakePhone();
    fs::create_directory(m_dir / "elsewhere");
    fs::rename(fs::path(dir) / "media", fs::path(dir) / "media-real");
    fs::create_directory_symlink(m_dir / "elsewhere", fs::path(dir) / "media");
    EXPECT_FALSE(ruvo::phone::OpenPhoneFolder(dir, {"media"}).Valid());
    EXPECT_TRUE(ruvo::phone::OpenPhoneFolder(dir, {"media-real", "iTunes_Control"}).Valid());
    EXPECT_FALSE(ruvo::phone::OpenPhoneFolder(dir, {"containers", ".."}).Valid());
    // The same holds for a root named by path.
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd client(ends[0]);
    ruvo::afc::ServeAfc(ends[1], (fs::path(dir) / "media").string());
    EXPECT_TRUE(ClosedNow(client.Get()));
}

// --- Lookups where openat2 is forbidden ---

// The child's side: forbid openat2 as a sandbox does, then look a path up through a link and
// past "..". Exits 0 when the lookup worked by the walk.
[[noreturn]] void LookUpWithoutOpenat2(const fs::path& media) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) std::_Exit(3);
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) std::_Exit(3);
    if (ruvo::afc::KernelConfinesLookups()) std::_Exit(4);
    ruvo::afc::PathResolver resolver(UniqueFd(::open(media.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
                                     ruvo::afc::Resolution::Auto);
    // Through a link, and with ".." trying to climb above the root.
    const int fd = resolver.Open(ruvo::afc::SplitPath("/../../shortcut/tone.m4r"), O_RDONLY, 0);
    if (fd < 0) std::_Exit(5);
    char text[8] = {};
    const bool read = ::read(fd, text, sizeof text) == 4 && std::string(text) == "ring";
    std::_Exit(read ? 0 : 6);
}

// Container sandboxes answer openat2 with EPERM rather than ENOSYS. In a child process that
// forbids it so, the resolver must notice once and serve every lookup by its own walk.
TEST_F(TempDir, LookupsWorkWhereASandboxForbidsOpenat2) {
    const std::string dir = MakePhone();
    const fs::path media = ruvo::phone::MediaRoot(dir);
    { std::ofstream(media / "iTunes_Control" / "tone.m4r") << "ring"; }
    fs::create_directory_symlink("/iTunes_Control", media / "shortcut");

    // A fresh process: the answer of the kernel is remembered for the life of a process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(LookUpWithoutOpenat2(media), ::testing::ExitedWithCode(0), "");
}

}  // namespace
