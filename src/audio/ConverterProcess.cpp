// ConverterProcess: fork and exec of ruvo-convert, its report over a pipe, its end through a
// pidfd, and the kill of its process group at the bound.
#include "ConverterProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ConvertProtocol.h"
#include "ModulePath.h"
#include "UniqueFd.h"

extern char** environ;

namespace ruvo::audio {

namespace proto = protocol;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAnsweredWrongly[] = "the converter answered wrongly";

// Descriptors below this are the helper's fixed ones (0 to 5): what is handed over is first
// moved above it, so that placing one cannot close another.
constexpr int kFirstFreeFd = 6;

std::string HelperPath() {
    // Tests may put a helper of their own in its place.
    if (const char* path = std::getenv("RUVO_CONVERT_HELPER"); path && *path) return path;
    return ruvo::ModulePath(proto::kHelperName);
}

UniqueFd Above(int fd) { return UniqueFd(fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeFd)); }

// The bytes as a sealed memory file: the helper can read and seek them, never change them.
UniqueFd SealedBytes(std::string_view bytes) {
    UniqueFd fd(memfd_create("ruvo-audio", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.Valid()) return fd;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return UniqueFd();
        done += static_cast<size_t>(n);
    }
    if (fcntl(fd.Get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0 ||
        lseek(fd.Get(), 0, SEEK_SET) != 0)
        return UniqueFd();
    return fd;
}

std::string SignalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// The helper's report, line by line, checked as it comes.
class Report {
public:
    Report(HelperAnswer& answer, const std::function<void(int)>& progress) : m_answer(answer), m_progress(progress) {}

    // Takes what was read; false when it is not a report.
    bool Take(const char* data, size_t size) {
        m_total += size;
        if (m_total > proto::kMaxReport) return false;
        m_pending.append(data, size);
        size_t start = 0;
        for (size_t end; (end = m_pending.find('\n', start)) != std::string::npos; start = end + 1)
            if (!Line(std::string_view(m_pending).substr(start, end - start))) return false;
        m_pending.erase(0, start);
        return m_pending.size() <= proto::kMaxLine;
    }
    // At the end: a report ends with "done" and nothing after it.
    bool Complete() const { return m_done && m_pending.empty(); }
    const std::string& LastLog() const { return m_lastLog; }
    // The helper said why it failed.
    bool Failed() const { return m_failed; }

private:
    bool Line(std::string_view line) {
        if (m_done) return false;
        const size_t space = line.find(' ');
        const std::string_view key = line.substr(0, space);
        const std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        for (const char c : line)
            if (static_cast<unsigned char>(c) < 0x20) return false;
        if (key == proto::kDone) return m_done = value.empty();
        if (key == proto::kProgress) return Progress(value);
        if (key == proto::kLog) {
            m_lastLog = value;
            return true;
        }
        if (key == proto::kKind) {
            if (value != proto::kNotAudio && value != proto::kReadyAac && value != proto::kConvertible) return false;
            m_answer.kind = value;
            return true;
        }
        if (key == proto::kSeconds) return Number(value, m_answer.seconds);
        if (key == proto::kConverted) return m_answer.converted = Number(value, m_answer.convertedSeconds);
        if (key == proto::kTitle) {
            m_answer.title = CleanTitle(value);
            return true;
        }
        if (key == proto::kFailed) {
            m_answer.reason = value.empty() ? std::string("the conversion failed") : std::string(value);
            m_failed = true;
            return true;
        }
        return false;
    }
    bool Progress(std::string_view value) {
        if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        const int percent = std::atoi(std::string(value).c_str());
        if (percent > 100) return false;
        if (percent > m_percent) {
            m_percent = percent;
            if (m_progress) m_progress(percent);
        }
        return true;
    }
    static bool Number(std::string_view text, double& value) {
        const std::string copy(text);
        char* end = nullptr;
        errno = 0;
        value = std::strtod(copy.c_str(), &end);
        return !copy.empty() && end && *end == '\0' && errno == 0 && value >= 0 && value < 1e9;
    }

    HelperAnswer& m_answer;
    const std::function<void(int)>& m_progress;
    std::string m_pending;
    std::string m_lastLog;
    size_t m_total = 0;
    int m_percent = -1;
    bool m_done = false;
    bool m_failed = false;
};

struct Child {
    pid_t pid = -1;
    UniqueFd report;  // the report's read end
};

// Starts the helper with its descriptors in place, in a process group of its own, and with the
// signal to end it when the starting thread ends (which is when this process ends: the thread
// waits for the helper).
bool Start(const std::string& path, const std::vector<std::string>& args, int source, int output, Child& child,
           std::string& reason) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        reason = std::string("cannot start the converter: ") + std::strerror(errno);
        return false;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    UniqueFd sourceFd = Above(source);
    UniqueFd outputFd = Above(output >= 0 ? output : null.Get());
    UniqueFd reportFd = Above(writeEnd.Get());
    UniqueFd nullFd = Above(null.Get());
    if (!sourceFd.Valid() || !outputFd.Valid() || !reportFd.Valid() || !nullFd.Valid()) {
        reason = std::string("cannot start the converter: ") + std::strerror(errno);
        return false;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // No signal handler of this process may run in the child before it execs.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to the exec.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (dup2(nullFd.Get(), 0) < 0 || dup2(nullFd.Get(), 1) < 0 || dup2(sourceFd.Get(), proto::kSourceFd) < 0 ||
            dup2(outputFd.Get(), proto::kOutputFd) < 0 || dup2(reportFd.Get(), proto::kReportFd) < 0)
            _exit(127);
        syscall(SYS_close_range, kFirstFreeFd, ~0U, 0);
        struct sigaction fresh {};
        fresh.sa_handler = SIG_DFL;
        for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGXCPU, SIGXFSZ})
            sigaction(signal, &fresh, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        reason = std::string("cannot start the converter: ") + std::strerror(forkError);
        return false;
    }
    // Also here, so that a kill of the group cannot come before the child made it.
    setpgid(pid, pid);
    child.pid = pid;
    child.report = std::move(readEnd);
    return true;
}

void KillGroup(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

// Whether the helper has ended, without reaping it: until it is reaped its pid, and so its
// process group's id, cannot be taken by another process, and the group can still be killed.
bool Ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

int OpenRegularFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for a writer or a medium.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.Valid()) return -1;
    struct stat facts {};
    if (fstat(fd.Get(), &facts) != 0) return -1;
    if (!S_ISREG(facts.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    const int flags = fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
    return fd.Release();
}

HelperAnswer RunConverter(std::string_view mode, const Request& request) {
    HelperAnswer answer;
    const auto deadline = Clock::now() + ConvertBound();
    UniqueFd source;
    if (!request.path.empty()) {
        source.Reset(OpenRegularFile(request.path));
        if (!source.Valid()) {
            answer.reason = errno == EINVAL ? std::string(kNotRegularFile) : std::string("cannot read the audio: ") + std::strerror(errno);
            return answer;
        }
    } else {
        source = SealedBytes(request.bytes);
        if (!source.Valid()) {
            answer.reason = std::string("cannot hand the audio over: ") + std::strerror(errno);
            return answer;
        }
    }
    const bool converts = mode == proto::kPrepare || mode == proto::kConvert;
    UniqueFd output(converts ? memfd_create("ruvo-ringtone", MFD_CLOEXEC) : -1);
    if (converts && !output.Valid()) {
        answer.reason = std::string("cannot make room for the ringtone: ") + std::strerror(errno);
        return answer;
    }
    char number[2][64];
    std::snprintf(number[0], sizeof number[0], "%.6f", request.fromSeconds);
    std::snprintf(number[1], sizeof number[1], "%.6f", request.seconds);
    // An argument holds no NUL: a title is handed over up to its first.
    const std::vector<std::string> args{std::string(mode), request.name.c_str(), number[0], number[1],
                                        request.title.c_str()};
    Child child;
    if (!Start(HelperPath(), args, source.Get(), output.Get(), child, answer.reason)) return answer;
    source.Reset();
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0)));

    Report report(answer, request.progress);
    bool wrong = false;
    bool late = false;
    char buffer[4096];
    // Reads what is there; false at the end of the report or when it is no report.
    const auto take = [&](int timeoutMs) {
        pollfd ready{child.report.Get(), POLLIN, 0};
        const int n = poll(&ready, 1, timeoutMs);
        if (n <= 0) return n < 0 && errno == EINTR;
        const ssize_t got = read(child.report.Get(), buffer, sizeof buffer);
        if (got < 0) return errno == EINTR || errno == EAGAIN;
        if (got == 0) {
            child.report.Reset();
            return false;
        }
        wrong = !report.Take(buffer, static_cast<size_t>(got));
        return !wrong;
    };
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            late = true;
            break;
        }
        if (Ended(child.pid)) {
            // What it wrote before it ended is read; a report still held open by something it
            // left behind ends here all the same.
            while (child.report.Valid() && take(0)) {}
            break;
        }
        // Its end is seen through the pidfd at once (else within 20 ms), its report as it comes.
        const int wait = static_cast<int>(std::min<long long>(left, pidfd.Valid() ? 1000 : 20));
        if (child.report.Valid()) {
            pollfd ready[2] = {{child.report.Get(), POLLIN, 0}, {pidfd.Get(), POLLIN, 0}};
            if (poll(ready, pidfd.Valid() ? 2 : 1, wait) > 0 && (ready[0].revents & (POLLIN | POLLHUP)) != 0 && !take(0) &&
                wrong)
                break;
        } else {
            pollfd end{pidfd.Get(), POLLIN, 0};
            poll(&end, pidfd.Valid() ? 1 : 0, wait);
        }
    }
    // The helper when it still runs (late, or answering wrongly), and whatever of its group is
    // left, then its reaping.
    KillGroup(child.pid);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {}

    answer.ok = false;
    if (late) {
        answer.reason = kTooLong;
    } else if (wrong) {
        answer.reason = kAnsweredWrongly;
    } else if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        answer.reason = signal == SIGXCPU  ? std::string("the conversion used too much processor time")
                        : signal == SIGKILL ? "the converter was killed"
                                            : "the converter crashed (" + SignalName(signal) + ")";
        if (!report.LastLog().empty()) answer.reason += ": " + report.LastLog();
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && !report.Complete()) {
        answer.reason = "cannot start the converter " + HelperPath();
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !report.Complete()) {
        answer.reason = kAnsweredWrongly;
        if (!report.LastLog().empty()) answer.reason += ": " + report.LastLog();
    } else if (!report.Failed()) {
        answer.ok = true;
    }
    if (!answer.ok) {
        answer.converted = false;
        return answer;
    }
    answer.reason.clear();
    if (answer.converted) {
        struct stat facts {};
        if (fstat(output.Get(), &facts) != 0 || facts.st_size <= 0 ||
            static_cast<unsigned long long>(facts.st_size) > proto::kMaxOutput) {
            answer.ok = false;
            answer.converted = false;
            answer.reason = "the converter made no ringtone";
            return answer;
        }
        answer.output.resize(static_cast<size_t>(facts.st_size));
        size_t done = 0;
        while (done < answer.output.size()) {
            const ssize_t n = pread(output.Get(), answer.output.data() + done, answer.output.size() - done,
                                    static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (done != answer.output.size()) {
            answer = HelperAnswer{};
            answer.reason = "cannot read the converted ringtone";
        }
    }
    return answer;
}

}  // namespace ruvo::audio
