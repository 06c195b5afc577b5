// CServiceHelper: the device service check (a connect to usbmuxd's socket) and its bounded start.
#include "CServiceHelper.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The name the device manager passes for the device service.
constexpr char16_t kDeviceServiceName[] = u"Apple Mobile Device";
constexpr const char* kDefaultUsbmuxdSocket = "/var/run/usbmuxd";
constexpr std::chrono::milliseconds kPollInterval{100};

enum class Driver { Virtual, Usb };

Driver ActiveDriver() {
    const char* driver = std::getenv("RUVO_DEVICE_DRIVER");
    if (driver && std::strcmp(driver, "usb") == 0) return Driver::Usb;
    return Driver::Virtual;
}

// usbmuxd's socket path: USBMUXD_SOCKET_ADDRESS ("UNIX:/path" or a plain path) or the default.
// A TCP address ("host:port") is not a local service we could start, so it is not used here.
std::string UsbmuxdSocketPath() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (!address || !*address) return kDefaultUsbmuxdSocket;
    std::string value = address;
    if (value.rfind("UNIX:", 0) == 0) return value.substr(5);
    if (value[0] == '/') return value;
    return "";
}

bool UsbmuxdAnswers() {
    const std::string path = UsbmuxdSocketPath();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Runs a command without a shell and waits for it; true when it exited with status 0.
bool RunCommand(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SystemdRuns() { return ::access("/run/systemd/system", F_OK) == 0; }

// Asks for usbmuxd to be started: RUVO_USBMUXD_START (a command run through /bin/sh) when set,
// else systemd's unit where systemd runs the system, else the daemon itself, which forks into
// the background.
bool RequestUsbmuxdStart() {
    if (const char* command = std::getenv("RUVO_USBMUXD_START"); command && *command)
        return RunCommand({"/bin/sh", "-c", command});
    if (SystemdRuns()) return RunCommand({"systemctl", "start", "--no-block", "usbmuxd.service"});
    return RunCommand({"usbmuxd", "--user", "usbmux"});
}

}  // namespace

CServiceHelper::CServiceHelper(std::chrono::milliseconds startBound) : m_startBound(startBound) {}

bool CServiceHelper::IsServiceRunning(const std::u16string& serviceName) {
    if (serviceName != kDeviceServiceName) return false;
    if (ActiveDriver() == Driver::Virtual) return true;
    return UsbmuxdAnswers();
}

bool CServiceHelper::StartServiceAndWait(const std::u16string& serviceName) {
    if (serviceName != kDeviceServiceName) return false;
    // A running service is not started again, and that start reports false.
    if (IsServiceRunning(serviceName)) return false;
    if (!RequestUsbmuxdStart()) return false;

    const auto deadline = std::chrono::steady_clock::now() + m_startBound;
    for (;;) {
        if (IsServiceRunning(serviceName)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}
