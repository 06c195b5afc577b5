// CServiceHelper: the device service check (a connect to usbmuxd's socket) and its bounded start.
#include "CServiceHelper.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
// How often a started helper is looked at until it exits.
constexpr std::chrono::milliseconds kHelperPollInterval{10};

using Clock = std::chrono::steady_clock;

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

// True when something listens on usbmuxd's socket. The connect does not block: a listener too
// busy to take the connection yet still runs, and a check must not wait on it.
bool UsbmuxdAnswers() {
    const std::string path = UsbmuxdSocketPath();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN;
    ::close(fd);
    return ok;
}

// Sleeps for the interval, but not past the deadline.
void SleepUntilNextLook(std::chrono::milliseconds interval, Clock::time_point deadline) {
    const auto now = Clock::now();
    if (now < deadline) std::this_thread::sleep_for(std::min<Clock::duration>(interval, deadline - now));
}

// Runs a command without a shell and waits for it until the deadline; true when it exited with
// status 0 by then. The command runs in a process group of its own: when it is still running at
// the deadline, the group is killed (the command and anything it started that did not leave the
// group) and the command is reaped, so no zombie is left.
bool RunCommand(const std::vector<std::string>& args, Clock::time_point deadline) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // The command starts with the signal state of a fresh program: the assistant blocks SIGINT
    // and SIGTERM in every thread (one thread takes them) and ignores SIGPIPE, and a daemon
    // started from here would otherwise keep both for the rest of its life.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return false;
    pid_t pid = 0;
    const bool spawned =
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) ==
            0 &&
        posix_spawnattr_setpgroup(&attributes, 0) == 0 && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
        posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
        posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    if (!spawned) return false;

    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        if (Clock::now() >= deadline) break;
        SleepUntilNextLook(kHelperPollInterval, deadline);
    }
    // Unreaped, the command's id still names its group, so the kill cannot reach another one.
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return false;
}

bool SystemdRuns() { return ::access("/run/systemd/system", F_OK) == 0; }

// Asks for usbmuxd to be started, by the deadline: RUVO_USBMUXD_START (a command run through
// /bin/sh) when set, else systemd's unit where systemd runs the system (never asking for a
// password). The bare daemon is never started by us: it runs as the system's service, and a
// missing one means that no USB phone is there yet (Debian starts it when a phone is plugged).
bool RequestUsbmuxdStart(Clock::time_point deadline) {
    if (const char* command = std::getenv("RUVO_USBMUXD_START"); command && *command)
        return RunCommand({"/bin/sh", "-c", command}, deadline);
    if (SystemdRuns()) return RunCommand({"systemctl", "--no-ask-password", "start", "usbmuxd.service"}, deadline);
    return false;
}

// RUVO_SERVICE_START_TIMEOUT_MS: a whole number of milliseconds above zero, digits only;
// nothing when it is unset or anything else.
std::optional<std::chrono::milliseconds> StartBoundFromEnvironment() {
    const char* text = std::getenv("RUVO_SERVICE_START_TIMEOUT_MS");
    if (!text || !*text) return std::nullopt;
    const char* end = text + std::strlen(text);
    std::chrono::milliseconds::rep value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value <= 0) return std::nullopt;
    return std::chrono::milliseconds(value);
}

}  // namespace

CServiceHelper::CServiceHelper(std::chrono::milliseconds startBound) : m_startBound(startBound) {
    if (const auto fromEnvironment = StartBoundFromEnvironment())
        m_startBound = std::min(m_startBound, *fromEnvironment);
}

bool CServiceHelper::IsServiceRunning(const std::u16string& serviceName) {
    if (serviceName != kDeviceServiceName) return false;
    if (ActiveDriver() == Driver::Virtual) return true;
    return UsbmuxdAnswers();
}

bool CServiceHelper::StartServiceAndWait(const std::u16string& serviceName) {
    if (serviceName != kDeviceServiceName) return false;
    // A running service is not started again, and that start reports false.
    if (IsServiceRunning(serviceName)) return false;
    // One deadline for the whole start: the helper's run and the wait for the service.
    const auto deadline = Clock::now() + m_startBound;
    if (!RequestUsbmuxdStart(deadline)) return false;
    for (;;) {
        if (IsServiceRunning(serviceName)) return true;
        if (Clock::now() >= deadline) return false;
        SleepUntilNextLook(kPollInterval, deadline);
    }
}
