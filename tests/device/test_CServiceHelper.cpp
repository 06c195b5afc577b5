// Tests of the device service check and its bounded start, against a local stand-in socket.
#include "CServiceHelper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::u16string kService = u"Apple Mobile Device";

// A listening Unix socket standing in for usbmuxd. A path that does not fit a socket address
// is refused with a message, never cut short: a socket at a shorter path would stand in for
// the wrong one.
class FakeDaemon {
public:
    explicit FakeDaemon(const fs::path& path, int backlog = 4) {
        sockaddr_un addr{};
        if (path.native().size() >= sizeof addr.sun_path) {
            error = "socket path of " + std::to_string(path.native().size()) + " bytes does not fit in " +
                    std::to_string(sizeof addr.sun_path - 1) + ": " + path.native();
            return;
        }
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
        ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, backlog) == 0;
        if (!ok) error = "cannot listen on " + path.native() + ": " + std::strerror(errno);
    }
    ~FakeDaemon() {
        if (fd >= 0) ::close(fd);
    }
    int fd = -1;
    bool ok = false;
    std::string error;
};

// A new directory for a test's files with room for a socket path inside it: under TMPDIR when
// that leaves room, else under /tmp, so no test depends on how long TMPDIR is.
fs::path NewShortTempDir() {
    constexpr size_t kRoomForSocketName = 16;
    std::string pattern = (fs::temp_directory_path() / "ruvo-svc-XXXXXX").string();
    if (pattern.size() + kRoomForSocketName >= sizeof(sockaddr_un::sun_path)) pattern = "/tmp/ruvo-svc-XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

TEST(ServiceHelperVirtual, VirtualPhoneServiceAlwaysRuns) {
    unsetenv("RUVO_DEVICE_DRIVER");
    CServiceHelper helper;
    EXPECT_TRUE(helper.IsServiceRunning(kService));
    EXPECT_FALSE(helper.StartServiceAndWait(kService)) << "a running service is not started";
    EXPECT_FALSE(helper.IsServiceRunning(u"Some Other Service"));
    EXPECT_FALSE(helper.StartServiceAndWait(u"Some Other Service"));
}

class ServiceHelperUsb : public ::testing::Test {
protected:
    void SetUp() override {
        dir = NewShortTempDir();
        ASSERT_FALSE(dir.empty()) << "cannot make a temporary directory";
        socketPath = dir / "usbmuxd";
        flag = dir / "start-requested";
        setenv("RUVO_DEVICE_DRIVER", "usb", 1);
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socketPath.string()).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("RUVO_DEVICE_DRIVER");
        unsetenv("USBMUXD_SOCKET_ADDRESS");
        unsetenv("RUVO_USBMUXD_START");
        unsetenv("RUVO_SERVICE_START_TIMEOUT_MS");
        if (!dir.empty()) fs::remove_all(dir);
    }
    fs::path dir, socketPath, flag;
};

TEST_F(ServiceHelperUsb, RunningWhenTheSocketAnswers) {
    CServiceHelper helper;
    EXPECT_FALSE(helper.IsServiceRunning(kService));
    FakeDaemon daemon(socketPath);
    ASSERT_TRUE(daemon.ok) << daemon.error;
    EXPECT_TRUE(helper.IsServiceRunning(kService));
    setenv("RUVO_USBMUXD_START", ("touch " + flag.string()).c_str(), 1);
    EXPECT_FALSE(helper.StartServiceAndWait(kService));
    EXPECT_FALSE(fs::exists(flag)) << "nothing is started when it runs";
}

TEST_F(ServiceHelperUsb, StartedServiceIsAwaited) {
    setenv("RUVO_USBMUXD_START", ("touch " + flag.string()).c_str(), 1);
    // The stand-in daemon comes up a while after the start was asked for.
    std::atomic<bool> stop{false};
    std::unique_ptr<FakeDaemon> daemon;
    std::thread starter([&] {
        for (int i = 0; i < 500 && !stop; ++i) {
            if (fs::exists(flag)) {
                std::this_thread::sleep_for(300ms);
                daemon = std::make_unique<FakeDaemon>(socketPath);
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    });
    CServiceHelper helper(10s);
    EXPECT_TRUE(helper.StartServiceAndWait(kService));
    stop = true;
    starter.join();
    EXPECT_TRUE(fs::exists(flag));
    ASSERT_TRUE(daemon);
    EXPECT_TRUE(daemon->ok) << daemon->error;
}

// The assistant blocks SIGINT and SIGTERM in every thread and ignores SIGPIPE; a start command (and
// the daemon it may leave running) gets the signal state of a fresh program all the same.
TEST_F(ServiceHelperUsb, StartCommandGetsDefaultSignalState) {
    sigset_t ends;
    sigset_t before;
    sigemptyset(&ends);
    sigaddset(&ends, SIGINT);
    sigaddset(&ends, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &ends, &before), 0);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);

    const fs::path status = dir / "status";
    setenv("RUVO_USBMUXD_START", ("cat /proc/self/status > " + status.string()).c_str(), 1);
    CServiceHelper helper(300ms);
    helper.StartServiceAndWait(kService);

    sigaction(SIGPIPE, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    std::ifstream in(status);
    std::string line;
    unsigned long long blocked = ~0ULL;
    unsigned long long ignored = ~0ULL;
    while (std::getline(in, line)) {
        if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
        if (line.rfind("SigIgn:", 0) == 0) ignored = std::stoull(line.substr(7), nullptr, 16);
    }
    const auto bit = [](int signal) { return 1ULL << (signal - 1); };
    EXPECT_EQ(blocked & (bit(SIGINT) | bit(SIGTERM)), 0u) << std::hex << blocked;
    EXPECT_EQ(ignored & bit(SIGPIPE), 0u) << std::hex << ignored;
}

TEST_F(ServiceHelperUsb, WaitIsBounded) {
    setenv("RUVO_USBMUXD_START", "true", 1);
    CServiceHelper helper(300ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(helper.StartServiceAndWait(kService));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(ServiceHelperUsb, FailedStartReportsFalse) {
    setenv("RUVO_USBMUXD_START", "exit 3", 1);
    CServiceHelper helper(60s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(helper.StartServiceAndWait(kService));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "a failed start does not wait out the bound";
}

// The forms of usbmuxd's address: a Unix socket path with or without its "UNIX:" prefix is
// checked; a TCP address is not a local service, and a path too long for a socket address is
// not cut short to the one that happens to listen.
TEST_F(ServiceHelperUsb, SocketAddressForms) {
    // A listening path exactly as long as a socket address allows, so cutting any longer path
    // short to fit would reach this one.
    const size_t limit = sizeof(sockaddr_un::sun_path) - 1;
    const std::string base = (dir / "m").string();
    ASSERT_LT(base.size(), limit);
    const std::string longest = base + std::string(limit - base.size(), 'x');
    FakeDaemon daemon(longest);
    ASSERT_TRUE(daemon.ok) << daemon.error;

    struct Case {
        const char* desc;
        std::string address;
        bool running;
    };
    const Case cases[] = {
        {"UNIX: prefix", "UNIX:" + longest, true},
        {"plain path", longest, true},
        {"TCP address", "127.0.0.1:27015", false},
        {"longer path whose first bytes listen", "UNIX:" + longest + "/usbmuxd", false},
        {"missing socket", "UNIX:" + (dir / "absent").string(), false},
    };
    for (const auto& c : cases) {
        setenv("USBMUXD_SOCKET_ADDRESS", c.address.c_str(), 1);
        EXPECT_EQ(CServiceHelper().IsServiceRunning(kService), c.running) << c.desc;
    }
}

TEST_F(ServiceHelperUsb, StandInRefusesAPathThatDoesNotFit) {
    const fs::path tooLong = dir / std::string(sizeof(sockaddr_un::sun_path), 'x');
    FakeDaemon daemon(tooLong);
    EXPECT_FALSE(daemon.ok);
    EXPECT_NE(daemon.error.find("does not fit"), std::string::npos) << daemon.error;
    EXPECT_TRUE(fs::is_empty(dir)) << "no socket was made at a shortened path";
}

// A daemon too busy to take another connection still runs, and the check does not wait for it.
TEST_F(ServiceHelperUsb, BusyDaemonCountsAsRunning) {
    FakeDaemon daemon(socketPath, 0);
    ASSERT_TRUE(daemon.ok) << daemon.error;
    // One connection the daemon never accepts fills its queue.
    const int waiting = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.native().size() + 1);
    ASSERT_EQ(::connect(waiting, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    EXPECT_TRUE(CServiceHelper().IsServiceRunning(kService));
    ::close(waiting);
}

TEST_F(ServiceHelperUsb, StartBoundFromTheEnvironment) {
    struct Case {
        const char* desc;
        const char* value;  // null: unset
        std::chrono::milliseconds given;
        std::chrono::milliseconds expected;
    };
    const auto def = CServiceHelper::kDefaultStartBound;
    const Case cases[] = {
        {"unset", nullptr, def, def},
        {"shortens the default", "1500", def, 1500ms},
        {"shortens a given bound", "200", 10s, 200ms},
        {"never lengthens the default", "45000", def, def},
        {"never lengthens a given bound", "1500", 300ms, 300ms},
        {"empty", "", def, def},
        {"zero", "0", def, def},
        {"negative", "-5", def, def},
        {"not a number", "soon", def, def},
        {"trailing text", "1500ms", def, def},
        {"leading space", " 1500", def, def},
        {"too large", "99999999999999999999999", def, def},
    };
    for (const auto& c : cases) {
        if (c.value)
            setenv("RUVO_SERVICE_START_TIMEOUT_MS", c.value, 1);
        else
            unsetenv("RUVO_SERVICE_START_TIMEOUT_MS");
        EXPECT_EQ(CServiceHelper(c.given).StartBound(), c.expected) << c.desc;
    }
}

// A pipe whose write end every process of a start helper inherits: once this process has
// closed its own end, the read end reaches its end only when all of them have ended.
class HelperWatch {
public:
    HelperWatch() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        m_read = ends[0];
        m_write = ends[1];
        ::fcntl(m_write, F_SETFD, 0);
    }
    ~HelperWatch() {
        if (m_read >= 0) ::close(m_read);
        if (m_write >= 0) ::close(m_write);
    }
    bool ok() const { return m_read >= 0; }
    // True when every process that held the write end has ended within the wait.
    bool AllEnded() {
        if (m_write >= 0) ::close(m_write);
        m_write = -1;
        pollfd p{m_read, POLLIN, 0};
        char byte;
        return ::poll(&p, 1, 30000) == 1 && ::read(m_read, &byte, 1) == 0;
    }

private:
    int m_read = -1;
    int m_write = -1;
};

// True when this process has no child left, running or unreaped.
bool NoChildLeft() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// A start helper that is still running when the bound ends is killed with the processes it
// started and reaped; the start reports false.
TEST_F(ServiceHelperUsb, HelperStillRunningAtTheBoundIsKilled) {
    const fs::path done = dir / "helper-finished";
    struct Case {
        const char* desc;
        std::string command;
    };
    const Case cases[] = {
        {"would finish after the bound", "sleep 2; touch " + done.string()},
        {"sleeps forever itself", "exec sleep 1000000"},
        {"waits for a child that sleeps forever", "sleep 1000000 & wait"},
    };
    for (const auto& c : cases) {
        HelperWatch watch;
        ASSERT_TRUE(watch.ok()) << c.desc;
        setenv("RUVO_USBMUXD_START", c.command.c_str(), 1);
        EXPECT_FALSE(CServiceHelper(300ms).StartServiceAndWait(kService)) << c.desc;
        EXPECT_TRUE(NoChildLeft()) << c.desc;
        EXPECT_TRUE(watch.AllEnded()) << c.desc << ": a process of the helper lives on";
        EXPECT_FALSE(fs::exists(done)) << c.desc;
    }
}

}  // namespace
