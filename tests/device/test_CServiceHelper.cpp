// Tests of the device service check and its bounded start, against a local stand-in socket.
#include "CServiceHelper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::u16string kService = u"Apple Mobile Device";

// A listening Unix socket standing in for usbmuxd.
class FakeDaemon {
public:
    explicit FakeDaemon(const fs::path& path) {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 4) == 0;
    }
    ~FakeDaemon() { ::close(fd); }
    int fd = -1;
    bool ok = false;
};

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
        dir = fs::temp_directory_path() / ("ruvo-svc-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        socketPath = dir / "usbmuxd";
        flag = dir / "start-requested";
        setenv("RUVO_DEVICE_DRIVER", "usb", 1);
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socketPath.string()).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("RUVO_DEVICE_DRIVER");
        unsetenv("USBMUXD_SOCKET_ADDRESS");
        unsetenv("RUVO_USBMUXD_START");
        fs::remove_all(dir);
    }
    fs::path dir, socketPath, flag;
};

TEST_F(ServiceHelperUsb, RunningWhenTheSocketAnswers) {
    CServiceHelper helper;
    EXPECT_FALSE(helper.IsServiceRunning(kService));
    FakeDaemon daemon(socketPath);
    ASSERT_TRUE(daemon.ok);
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

}  // namespace
