// DeviceCommand: starts the device manager as the window would and works on the current link.
#include "DeviceCommand.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CJson.h"
#include "ControlEscapes.h"
#include "DeviceManager.h"
#include "AudioConverter.h"
#include "TextEncoding.h"

namespace {

constexpr auto kReadyWait = std::chrono::seconds(10);

// What the device events have told so far, for the commands that wait for a phone.
struct EventState {
    std::mutex mutex;
    std::condition_variable changed;
    bool printEvents = false;
    bool noSupport = false;
    bool trustRequired = false;  // the current link's last event asked for trust
};
EventState g_events;

int OnDeviceEvent(int eventType, const char* text, int textLength, void*, int linkIndex) {
    std::scoped_lock lock(g_events.mutex);
    if (g_events.printEvents) {
        const std::string utf8 = AnsiToUtf8(std::string_view(text, static_cast<size_t>(std::max(textLength, 0))));
        std::printf("%d\t%d\t%s\n", linkIndex, eventType, utf8.c_str());
        std::fflush(stdout);
    }
    if (eventType == DEVICE_EVENT_NO_SUPPORT) g_events.noSupport = true;
    if (linkIndex == 0) g_events.trustRequired = eventType == DEVICE_EVENT_TRUST_REQUIRED;
    g_events.changed.notify_all();
    return 0;
}

struct Failure {
    int status;
    std::string message;
};

// The current link once it is ready, or why there is none within the wait.
DeviceLink* WaitForReadyLink(std::optional<Failure>& failure) {
    std::unique_lock lock(g_events.mutex);
    DeviceLink* ready = nullptr;
    g_events.changed.wait_for(lock, kReadyWait, [&] {
        DeviceLink* link = GetDeviceLink(-1);
        if (link && link->IsReady()) ready = link;
        return ready || g_events.noSupport || g_events.trustRequired;
    });
    if (ready) return ready;
    if (g_events.noSupport)
        failure = Failure{1, "the support libraries are missing"};
    else if (g_events.trustRequired)
        failure = Failure{1, "the phone does not trust this computer: trust it on the phone, then plug it in again"};
    else
        failure = Failure{1, "no phone ready"};
    return nullptr;
}

std::string DevicePath(const std::string& utf8) { return TextToAnsi(Utf8ToText(utf8)); }

void PrintLine(const std::string& text) { std::printf("%s\n", text.c_str()); }

int Events(const std::vector<std::string>& args, std::optional<Failure>& failure) {
    long seconds = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        char* end = nullptr;
        if (args[i] == "--for" && i + 1 < args.size() && (seconds = std::strtol(args[i + 1].c_str(), &end, 10)) >= 0 &&
            *end == '\0' && !args[i + 1].empty()) {
            ++i;
            continue;
        }
        failure = Failure{2, "device events: usage: events [--for SECONDS]"};
        return 2;
    }
    // SIGINT and SIGTERM are taken here, not by default handlers, so the run ends with status 0.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    {
        std::scoped_lock lock(g_events.mutex);
        g_events.printEvents = true;
    }
    StartDeviceManager(&OnDeviceEvent, nullptr);
    if (seconds < 0) {
        int signal = 0;
        sigwait(&stops, &signal);
    } else {
        timespec wait{static_cast<time_t>(seconds), 0};
        while (sigtimedwait(&stops, nullptr, &wait) < 0 && errno == EINTR) {}
    }
    std::scoped_lock lock(g_events.mutex);
    g_events.printEvents = false;
    return 0;
}

int Info(DeviceLink* link) {
    const std::pair<const char*, std::u16string> values[] = {{"DeviceName", link->DeviceName()},
                                                             {"ProductType", link->ProductType()},
                                                             {"ProductVersion", link->ProductVersion()},
                                                             {"BasebandVersion", link->BasebandVersion()}};
    for (const auto& [key, value] : values) PrintLine(std::string(key) + "\t" + TextToUtf8(value));
    return 0;
}

int Apps(DeviceLink* link, bool system) {
    const std::u16string type = system ? u"System" : u"User";
    link->LookupApplications(type);
    std::vector<std::string> ids;
    for (const auto& id : link->InstalledApps(system ? u"SYSTEM" : u"USER")) ids.push_back(TextToUtf8(id));
    std::sort(ids.begin(), ids.end());
    for (const auto& id : ids) PrintLine(id);
    return 0;
}

int Files(DeviceLink* link, const std::string& command, const std::vector<std::string>& operands,
          std::optional<Failure>& failure) {
    const std::string path = DevicePath(operands.back());
    const auto fail = [&](const std::string& what) {
        failure = Failure{1, command + ": " + what};
        return 1;
    };
    if (command == "ls") {
        std::vector<std::string> names;
        if (!link->ListDirectory(path.c_str(), names)) return fail("cannot list " + operands.back());
        for (const auto& name : names) PrintLine(name);
        return 0;
    }
    if (command == "cat") {
        std::string bytes;
        if (link->ReadFile(path.c_str(), bytes)) {
            std::fwrite(bytes.data(), 1, bytes.size(), stdout);
            return 0;
        }
        // An empty file cannot be read as a whole; it is there all the same.
        if (link->FileExists(path.c_str()) && link->GetFileSize(path.c_str()) == 0 &&
            !link->DirectoryExists(path.c_str()))
            return 0;
        return fail("cannot read " + operands.back());
    }
    if (command == "put") {
        std::ifstream file(operands[0], std::ios::binary);
        if (!file) return fail("cannot read " + operands[0] + ": " + std::strerror(errno));
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (file.bad()) return fail("cannot read " + operands[0]);
        if (bytes.size() > 0x7FFFFFFF) return fail(operands[0] + " is too large");
        const int written = bytes.empty() ? link->TruncateFile(path.c_str())
                                          : link->WriteFile(path.c_str(), bytes.data(), static_cast<int>(bytes.size()));
        return written ? 0 : fail("cannot write " + operands.back());
    }
    if (command == "rm") return link->RemovePath(path.c_str()) ? 0 : fail("cannot remove " + operands.back());
    return link->MakeDirectory(path.c_str()) ? 0 : fail("cannot make " + operands.back());
}

int Run(int argc, char** argv, std::optional<Failure>& failure) {
    if (argc < 2) {
        failure = Failure{2, "device: missing command (events, info, apps, ls, cat, put, rm, mkdir)"};
        return 2;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "events") return Events(args, failure);

    std::optional<std::string> app;
    bool system = false;
    std::vector<std::string> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--app" && i + 1 < args.size() && !args[i + 1].empty()) {
            app = args[++i];
        } else if (args[i] == "--system" && command == "apps") {
            system = true;
        } else if (args[i].size() > 1 && args[i][0] == '-' && args[i] != "-") {
            failure = Failure{2, "device " + command + ": unknown option " + args[i]};
            return 2;
        } else {
            operands.push_back(args[i]);
        }
    }
    const bool fileCommand =
        command == "ls" || command == "cat" || command == "put" || command == "rm" || command == "mkdir";
    size_t wanted = 0;
    if (command == "info" || command == "apps") {
        if (app) {
            failure = Failure{2, "device " + command + ": --app does not apply"};
            return 2;
        }
    } else if (fileCommand) {
        wanted = command == "put" ? 2 : 1;
    } else {
        failure = Failure{2, "device: unknown command '" + command + "'"};
        return 2;
    }
    if (operands.size() != wanted) {
        failure = Failure{
            2, "device " + command + ": expected " + std::to_string(wanted) + " argument" + (wanted == 1 ? "" : "s")};
        return 2;
    }

    StartDeviceManager(&OnDeviceEvent, nullptr);
    DeviceLink* link = WaitForReadyLink(failure);
    if (!link) return failure->status;
    if (command == "info") return Info(link);
    if (command == "apps") return Apps(link, system);
    if (app) {
        if (!link->OpenAppContainer(DevicePath(*app).c_str())) {
            failure = Failure{1, command + ": cannot open the container of " + *app};
            return 1;
        }
    }
    const int status = Files(link, command, operands, failure);
    if (app) link->CloseAppContainer();
    return status;
}

// The conversion's progress on standard error: with --progress one "converting NN%" line per new
// percent; else, on a terminal, one line rewritten in place; else nothing.
class ProgressPrinter {
public:
    explicit ProgressPrinter(bool lines) : m_lines(lines), m_inPlace(!lines && isatty(STDERR_FILENO) == 1) {}

    void Show(int percent) {
        percent = std::clamp(percent, 0, 100);
        if ((!m_lines && !m_inPlace) || percent <= m_last) return;
        m_last = percent;
        if (m_lines)
            std::fprintf(stderr, "converting %d%%\n", percent);
        else
            std::fprintf(stderr, "\rconverting %d%%", percent);
        std::fflush(stderr);
    }
    // The end of the conversion: 100 when it succeeded, and the in-place line is ended.
    void Finish(bool done) {
        if (done) Show(100);
        if (m_inPlace && m_last >= 0) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
        }
    }

private:
    const bool m_lines;
    const bool m_inPlace;
    int m_last = -1;
};

// A number of seconds given on the command line: digits with at most one decimal point.
bool ParseSeconds(const std::string& text, double& seconds) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return false;
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(seconds);
}

// What addring sends: the file's bytes as they are (a ringtone already), or the ringtone made of
// them, with the duration to record.
struct AddPlan {
    std::string audio;
    std::string title;
    long seconds = 0;
};

constexpr char kAddUsage[] = "addring [--from SECONDS] [--progress] AUDIO_FILE TITLE [SECONDS]";
constexpr long kMaxSeconds = 0x7FFFFFFF / 1000;

// Decides and, for audio that is not a ringtone yet, converts; nothing has reached the phone yet.
int PlanAdd(const std::vector<std::string>& args, AddPlan& plan, std::optional<Failure>& failure) {
    const auto usage = [&] {
        failure = Failure{2, std::string("addring: usage: ") + kAddUsage};
        return 2;
    };
    std::optional<double> from;
    bool progressLines = false;
    std::vector<std::string> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--from") {
            double value = 0;
            if (from || i + 1 >= args.size() || !ParseSeconds(args[i + 1], value)) return usage();
            from = value;
            ++i;
        } else if (args[i] == "--progress") {
            progressLines = true;
        } else if (args[i] == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usage();
        } else {
            operands.push_back(args[i]);
        }
    }
    if (operands.size() != 2 && operands.size() != 3) return usage();
    const std::string& path = operands[0];
    std::optional<long> asked;
    if (operands.size() == 3) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(operands[2].c_str(), &end, 10);
        if (operands[2].empty() || operands[2].find_first_not_of("0123456789") != std::string::npos ||
            *end != '\0' || errno != 0 || value > kMaxSeconds)
            return usage();
        asked = value;
    }

    // Wrong arguments are told before the file is read.
    if (from && ruvo::audio::IsRingtoneName(path)) {
        failure = Failure{2, "addring: --from does not apply to a ringtone file (.m4r)"};
        return 2;
    }
    // The file is only looked at here (a FIFO or a device must not hold the command); the
    // converter reads it as a stream, and only what goes to the phone is read whole.
    const auto readWhole = [&] {
        if (ruvo::audio::ReadAudioFile(path, plan.audio)) return true;
        failure = errno == EINVAL ? Failure{1, "addring: " + path + ": " + ruvo::audio::kNotRegularFile}
                                  : Failure{1, "addring: cannot read " + path + ": " + std::strerror(errno)};
        return false;
    };
    if (const int fd = ruvo::audio::OpenRegularFile(path); fd >= 0) {
        close(fd);
    } else {
        readWhole();
        return 1;
    }
    ruvo::audio::Request request;
    request.path = path;
    request.name = path;
    request.title = operands[1];
    plan.title = operands[1];

    if (ruvo::audio::IsRingtoneName(path)) {
        // A ringtone already: its bytes go as they are.
        if (!readWhole()) return 1;
        if (asked) {
            plan.seconds = *asked;
            return 0;
        }
        const double seconds = ruvo::audio::ReadDuration(request);
        if (seconds <= 0) {
            failure = Failure{2, "addring: cannot read the duration of " + path + " (give SECONDS)"};
            return 2;
        }
        plan.seconds = std::min<long>(ruvo::audio::RecordedSeconds(seconds), kMaxSeconds);
        return 0;
    }

    if (asked && *asked == 0) {
        failure = Failure{2, "addring: an excerpt of 0 seconds is no ringtone"};
        return 2;
    }
    ProgressPrinter printer(progressLines);
    request.fromSeconds = from.value_or(0);
    request.seconds = std::min<double>(asked.value_or(kMaxSeconds), ruvo::audio::kMaxRingtoneSeconds);
    request.progress = [&printer](int percent) { printer.Show(percent); };
    ruvo::audio::Prepared prepared = ruvo::audio::PrepareRingtone(request);
    using Outcome = ruvo::audio::Prepared::Outcome;
    printer.Finish(prepared.outcome == Outcome::Converted);
    if (prepared.outcome == Outcome::NotAudio) {
        failure = Failure{1, "addring: not an audio file: " + path};
        return 1;
    }
    if (prepared.outcome == Outcome::Failed) {
        failure = Failure{1, "addring: " + path + ": " + prepared.reason};
        return 1;
    }
    if (prepared.outcome == Outcome::Converted) {
        plan.audio = std::move(prepared.bytes);
    } else if (!readWhole()) {
        return 1;
    }
    // The duration recorded is the ringtone's, never more than it holds nor than was asked.
    plan.seconds = ruvo::audio::RecordedSeconds(prepared.seconds);
    if (asked) plan.seconds = std::min(plan.seconds, static_cast<long>(request.seconds));
    return 0;
}

int RunRingtones(int argc, char** argv, std::optional<Failure>& failure) {
    const std::string command = argv[0];
    std::vector<std::string> args(argv + 1, argv + argc);
    const auto usage = [&](const char* text) {
        failure = Failure{2, command + ": usage: " + text};
        return 2;
    };
    AddPlan plan;
    if (command == "ringtones") {
        if (!args.empty()) return usage("ringtones");
    } else if (command == "addring") {
        if (const int status = PlanAdd(args, plan, failure); status != 0) return status;
    } else {
        if (args.empty()) return usage("delring PID...");
        for (const auto& pid : args)
            if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return usage("delring PID...");
    }

    StartDeviceManager(&OnDeviceEvent, nullptr);
    DeviceLink* link = WaitForReadyLink(failure);
    if (!link) return failure->status;
    if (command == "ringtones") {
        std::unique_ptr<CJson> tree(link->ListRingtones());
        // Null only when another operation of this process kept the phone's turn too long.
        if (!tree) {
            failure = Failure{1, "ringtones: the phone is busy"};
            return 1;
        }
        // One line, whatever the titles hold.
        PrintLine(ruvo::EscapeControls(TextToUtf8(tree->ToString())));
        return 0;
    }
    int done = 0;
    if (command == "addring") {
        done = link->AddRingtone(reinterpret_cast<const unsigned char*>(plan.audio.data()),
                                 static_cast<int>(plan.audio.size()), DevicePath(plan.title).c_str(),
                                 static_cast<int>(plan.seconds));
    } else {
        std::string json = "{\"PID\":[";
        for (size_t i = 0; i < args.size(); ++i) json += (i ? ",\"" : "\"") + args[i] + "\"";
        json += "]}";
        done = link->DeleteRingtones(Utf8ToText(json));
    }
    PrintLine(done ? "TRUE" : "FALSE");
    return done ? 0 : 1;
}

// Runs a command, reports its failure in one line and ends the process. The device threads may
// still be delivering events: the process ends here, without running the destructors of objects
// they could be using.
[[noreturn]] void RunAndExit(int (*command)(int, char**, std::optional<Failure>&), int argc, char** argv) {
    std::optional<Failure> failure;
    const int status = command(argc, argv, failure);
    if (failure) std::fprintf(stderr, "ruvo-tool: %s\n", failure->message.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(failure ? failure->status : status);
}

}  // namespace

int RunRingtoneCommand(int argc, char** argv) { RunAndExit(&RunRingtones, argc, argv); }

int RunDeviceCommand(int argc, char** argv) { RunAndExit(&Run, argc, argv); }
