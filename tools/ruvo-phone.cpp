// ruvo-phone: makes and controls virtual phones (plug, trust, sync faults, files, app requests) beside an assistant.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CJson.h"
#include "CompanionRequest.h"
#include "ControlEscapes.h"
#include "MediaArea.h"
#include "ReplaceFile.h"
#include "RingtoneCatalogue.h"
#include "SyncFault.h"
#include "TextEncoding.h"
#include "UsbmuxServer.h"
#include "VirtualPhone.h"
#include "WaitBound.h"

namespace {

const char kUsage[] =
    "usage: ruvo-phone COMMAND DIR [OPTIONS]\n"
    "\n"
    "A virtual phone lives in the directory DIR: DIR/media/ is its media area and\n"
    "DIR/containers/<bundle id>/ the container of each of its apps.\n"
    "\n"
    "  init DIR [--name TEXT] [--app BUNDLE_ID]... [--untrusted] [--no-afc2]\n"
    "                 create a phone (unplugged); without --app it has the companion\n"
    "                 app com.mrz4.ringtone.pid40ch1\n"
    "  plug DIR       plug the phone in\n"
    "  unplug DIR     pull the phone's cable\n"
    "  trust DIR      let the phone trust this computer\n"
    "  untrust DIR    make the phone stop trusting this computer\n"
    "  status DIR     print the phone's state (with the library id of the last sync request)\n"
    "  ringtones DIR  print the phone's ringtones, one a line: persistent id, title,\n"
    "                 file name and total time in ms, separated by tabs, by file name\n"
    "  prefs DIR absent|short|WORD20 WORD96\n"
    "                 remove the phone's iTunesPrefs, write one of 60 bytes, or one of\n"
    "                 128 bytes whose 32-bit little-endian words at byte offsets 20 and 96\n"
    "                 are the two 8-digit hexadecimal words\n"
    "  fault DIR STEP ACTION\n"
    "                 make the phone's next sync session act out a fault instead of\n"
    "                 sending STEP's message: STEP is allowed (SyncAllowed), ready\n"
    "                 (ReadyForSync), manifest (AssetManifest) or finished (SyncFinished,\n"
    "                 nothing applied); ACTION is sync-failed (send SyncFailed), drop (close\n"
    "                 the connection) or silent (send nothing)\n"
    "  fault DIR clear\n"
    "                 remove a fault that no session has taken yet\n"
    "  request DIR [--app BUNDLE_ID] getring\n"
    "  request DIR [--app BUNDLE_ID] addring AUDIO_FILE TITLE SECONDS\n"
    "  request DIR [--app BUNDLE_ID] delring PID...\n"
    "                 act as the companion app (default com.mrz4.ringtone.pid40ch1): write\n"
    "                 its request file Documents/PCConnection/Request, wait up to 60 s for\n"
    "                 the assistant's Respone file with the request's Sign and print it;\n"
    "                 addring first copies AUDIO_FILE into the app's Documents folder\n"
    "  serve-usbmux SOCKET_PATH\n"
    "                 serve the hub's plugged phones over the usbmux protocol on the Unix\n"
    "                 socket SOCKET_PATH, as usbmuxd serves USB phones (for libimobiledevice:\n"
    "                 USBMUXD_SOCKET_ADDRESS=UNIX:SOCKET_PATH); runs until SIGINT or SIGTERM,\n"
    "                 then removes the socket\n"
    "  --help         print this help\n"
    "\n"
    "Phones are listed in the hub directory named by RUVO_PHONE_HUB\n"
    "(default: $XDG_STATE_HOME/ruvo/phones), which a running assistant watches.\n"
    "RUVO_REQUEST_TIMEOUT_MS may shorten the wait of request (in milliseconds).\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "ruvo-phone: %s\n", message.c_str());
    return 1;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "ruvo-phone: %s (try --help)\n", message.c_str());
    return 2;
}

int Init(const std::string& dir, const std::vector<std::string>& options) {
    ruvo::phone::PhoneConfig config;
    config.systemApps = ruvo::phone::kDefaultSystemApps;
    for (size_t i = 0; i < options.size(); ++i) {
        const std::string& option = options[i];
        if (option == "--name" || option == "--app") {
            if (i + 1 >= options.size()) return Usage(option + " needs a value");
            const std::string& value = options[++i];
            if (option == "--name")
                config.deviceName = value;
            else
                config.userApps.push_back(value);
        } else if (option == "--untrusted") {
            config.trusted = false;
        } else if (option == "--no-afc2") {
            config.offersAfc2 = false;
        } else {
            return Usage("unknown option '" + option + "'");
        }
    }
    if (config.userApps.empty()) config.userApps.push_back(ruvo::phone::kDefaultCompanionApp);
    std::string error;
    if (!ruvo::phone::CreatePhone(dir, config, &error)) return Fail(error);
    return 0;
}

int Status(const std::string& dir) {
    auto config = ruvo::phone::LoadPhone(dir);
    if (!config) return Fail(dir + " holds no phone");
    auto join = [](const std::vector<std::string>& items) {
        std::string text;
        for (const auto& item : items) text += (text.empty() ? "" : " ") + item;
        return text;
    };
    std::printf(
        "name: %s\nudid: %s\nproduct: %s %s (baseband %s)\nplugged: %s\ntrusted: %s\nafc2: %s\n"
        "user apps: %s\nsystem apps: %s\n",
        config->deviceName.c_str(), config->uniqueDeviceId.c_str(), config->productType.c_str(),
        config->productVersion.c_str(), config->basebandVersion.c_str(), config->plugged ? "yes" : "no",
        config->trusted ? "yes" : "no", config->offersAfc2 ? "yes" : "no", join(config->userApps).c_str(),
        join(config->systemApps).c_str());
    const auto& library = config->lastSyncLibraryId;
    std::printf("last sync library: %s\n", !library ? "none" : library->empty() ? "(empty)" : library->c_str());
    return 0;
}

int Ringtones(const std::string& dir) {
    if (!ruvo::phone::LoadPhone(dir)) return Fail(dir + " holds no phone");
    ruvo::phone::MediaArea media(dir);
    const auto catalogue = ruvo::phone::RingtoneCatalogue::Load(media);
    if (!catalogue) return Fail("cannot read the ringtone catalogue of " + dir);
    // Integers as a binary property list holds them: 64-bit and signed. Titles and names are
    // the phone's text: their control characters are escaped, so that each tone stays one line.
    const auto number = [](const std::optional<uint64_t>& value) {
        return value ? std::to_string(static_cast<int64_t>(*value)) : std::string();
    };
    for (const auto& entry : catalogue->Entries())
        std::printf("%s\t%s\t%s\t%s\n", number(entry.pid).c_str(), ruvo::EscapeControls(entry.name).c_str(),
                    ruvo::EscapeControls(entry.file).c_str(), number(entry.totalTimeMs).c_str());
    return 0;
}

// An 8-digit hexadecimal word, in either case.
std::optional<uint32_t> HexWord(const std::string& text) {
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

int Prefs(const std::string& dir, const std::vector<std::string>& options) {
    // The prefs file of a phone's media library; the assistant derives its library id from it.
    const std::vector<std::string> path{"iTunes_Control", "iTunes", "iTunesPrefs"};
    constexpr size_t kShortSize = 60;
    constexpr size_t kFullSize = 128;
    std::string bytes;
    bool remove = false;
    if (options.size() == 1 && options[0] == "absent") {
        remove = true;
    } else if (options.size() == 1 && options[0] == "short") {
        bytes.assign(kShortSize, '\0');
    } else if (options.size() == 2 && HexWord(options[0]) && HexWord(options[1])) {
        bytes.assign(kFullSize, '\0');
        const auto put = [&bytes](size_t offset, uint32_t word) {
            for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((word >> (8 * i)) & 0xFF);
        };
        put(20, *HexWord(options[0]));
        put(96, *HexWord(options[1]));
    } else {
        return Usage("prefs: expected absent, short or two 8-digit hexadecimal words");
    }
    if (!ruvo::phone::LoadPhone(dir)) return Fail(dir + " holds no phone");
    ruvo::phone::MediaArea media(dir);
    const bool done = remove ? media.RemoveFile(path) : media.ReplaceFile(path, bytes);
    if (!done) return Fail("cannot " + std::string(remove ? "remove" : "write") + " the iTunesPrefs of " + dir);
    return 0;
}

int Fault(const std::string& dir, const std::vector<std::string>& options) {
    std::optional<ruvo::phone::SyncFault> fault;
    const bool clear = options.size() == 1 && options[0] == "clear";
    if (!clear) {
        if (options.size() == 2) fault = ruvo::phone::SyncFault::Parse(options[0], options[1]);
        if (!fault) return Usage("fault: expected clear, or a STEP and an ACTION");
    }
    if (!ruvo::phone::LoadPhone(dir)) return Fail(dir + " holds no phone");
    std::string error;
    const bool done = clear ? ruvo::phone::SyncFault::Clear(dir, &error) : fault->Store(dir, &error);
    return done ? 0 : Fail(error);
}

// The whole content of a file; nothing when it cannot be opened or read (a folder cannot).
std::optional<std::string> ReadWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

// How long `request` waits for the assistant's response: 60 s, shortened by the variable.
constexpr int kResponseWaitMs = 60000;
constexpr const char* kResponseWaitVariable = "RUVO_REQUEST_TIMEOUT_MS";

// Polls the response file until it holds the answer with our Sign, then prints it. Any other
// content (an older answer, a file being written) is not yet the answer.
int AwaitResponse(const std::string& responsePath, const std::string& sign) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kPollInterval = std::chrono::milliseconds(100);
    const int boundMs = ruvo::WaitBoundMs(kResponseWaitVariable, kResponseWaitMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        const auto bytes = ReadWholeFile(responsePath);
        if (bytes && ruvo::phone::FileSign(*bytes) == sign) {
            std::fwrite(bytes->data(), 1, bytes->size(), stdout);
            std::fputc('\n', stdout);
            if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Fail("cannot write the response");
            return 0;
        }
        const auto now = Clock::now();
        if (now >= deadline) break;
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, deadline - now));
    }
    const int seconds = (boundMs + 999) / 1000;
    return Fail("no response to request " + sign + " within " + std::to_string(seconds) + " s");
}

// `request`: plays the companion app by hand. Writes the app's Request file as the app does
// (atomically, since the assistant may read it at any moment) and waits for the Respone.
int Request(const std::string& dir, const std::vector<std::string>& options) {
    std::string app = ruvo::phone::kDefaultCompanionApp;
    size_t next = 0;
    if (next < options.size() && options[next] == "--app") {
        if (next + 1 >= options.size()) return Usage("--app needs a value");
        app = options[next + 1];
        next += 2;
    }
    if (next >= options.size()) return Usage("request: expected getring, addring or delring");
    ruvo::phone::CompanionRequest request;
    request.command = options[next++];
    const std::vector<std::string> args(options.begin() + static_cast<std::ptrdiff_t>(next), options.end());
    std::string audioPath;
    if (request.command == "getring") {
        if (!args.empty()) return Usage("request getring: expected no arguments");
    } else if (request.command == "addring") {
        if (args.size() != 3) return Usage("request addring: expected AUDIO_FILE TITLE SECONDS");
        audioPath = args[0];
        request.title = args[1];
        request.seconds = args[2];
    } else if (request.command == "delring") {
        if (args.empty()) return Usage("request delring: expected one PID or more");
        request.pids = args;
    } else {
        return Usage("request: unknown request '" + request.command + "'");
    }

    // A bundle id is one plain name under containers/; anything else names no app.
    const bool plainName = !app.empty() && app != "." && app != ".." && app.find('/') == std::string::npos;
    const std::string container = ruvo::phone::ContainerRoot(dir, app);
    std::error_code ec;
    if (!plainName || !std::filesystem::is_directory(container, ec))
        return Fail("no app " + app + " on the phone in " + dir);

    std::optional<std::string> audio;
    std::string audioName;
    if (request.command == "addring") {
        audioName = std::filesystem::path(audioPath).filename().string();
        if (audioName.empty() || audioName == "." || audioName == "..") return Fail("cannot read " + audioPath);
        audio = ReadWholeFile(audioPath);
        if (!audio) return Fail("cannot read " + audioPath);
        request.file = "/Documents/" + audioName;
    }

    const std::string documents = container + "/Documents";
    const std::string connection = documents + "/PCConnection";
    const std::string requestPath = connection + "/Request";
    const std::string responsePath = connection + "/Respone";
    // The new Sign differs from the request in place, so that the assistant sees a new request,
    // and from the response in place, so that an old answer is never taken for ours.
    std::vector<std::string> taken;
    for (const auto& path : {requestPath, responsePath}) {
        const auto bytes = ReadWholeFile(path);
        if (!bytes) continue;
        if (auto sign = ruvo::phone::FileSign(*bytes)) taken.push_back(*sign);
    }
    const std::string sign = ruvo::phone::FreshSign(taken);
    const std::string text = ruvo::phone::RequestText(request, sign);
    // The assistant takes a request only when its brackets balance outside strings, counting
    // every '"' as a string's start or end, escaped or not: an unpaired '"' in a title, file name
    // or value makes a request it can never take, so it is refused here rather than waited on.
    if (!CJson::CheckJson(Utf8ToText(text)))
        return Usage("request: the quotes in a value leave the request unbalanced; the assistant would never read it");
    if (text.size() > ruvo::phone::kMaxRequestBytes)
        return Fail("the request would be longer than the " + std::to_string(ruvo::phone::kMaxRequestBytes) +
                    " bytes the assistant reads");

    if (!MakeFolder(documents)) return Fail("cannot write " + documents);
    if (audio && !ruvo::ReplaceFileAt(AT_FDCWD, documents + "/" + audioName, *audio))
        return Fail("cannot write " + documents + "/" + audioName);
    if (!MakeFolder(connection)) return Fail("cannot write " + connection);
    if (!ruvo::ReplaceFileAt(AT_FDCWD, requestPath, text)) return Fail("cannot write " + requestPath);
    return AwaitResponse(responsePath, sign);
}

// Serves the hub's phones over usbmux until SIGINT or SIGTERM.
int ServeUsbmux(const std::string& path) {
    // Blocked before any thread starts: one thread takes them and ends the serving.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    ruvo::phone::UsbmuxServer server;
    std::string error;
    switch (server.Open(path, &error)) {
        case ruvo::phone::UsbmuxServer::OpenResult::Ok:
            break;
        case ruvo::phone::UsbmuxServer::OpenResult::TooLong:
            std::fprintf(stderr, "ruvo-phone: serve-usbmux: %s\n", error.c_str());
            return 2;
        default:
            return Fail("serve-usbmux: " + error);
    }
    std::atomic<bool> stop{false};
    std::thread([&stop, stops] {
        int signal = 0;
        while (sigwait(&stops, &signal) != 0) {}
        stop = true;
    }).detach();
    server.Run(stop);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("missing command");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "serve-usbmux") {
        if (argc != 3) return Usage("serve-usbmux: expected SOCKET_PATH");
        return ServeUsbmux(argv[2]);
    }
    if (argc < 3) return Usage(command + ": missing DIR");
    const std::string dir = argv[2];
    std::vector<std::string> options(argv + 3, argv + argc);

    if (command == "init") return Init(dir, options);
    if (command == "prefs") return Prefs(dir, options);
    if (command == "fault") return Fault(dir, options);
    if (command == "request") return Request(dir, options);
    if (!options.empty()) return Usage("unexpected argument '" + options[0] + "'");

    std::string error;
    bool ok = false;
    if (command == "plug")
        ok = ruvo::phone::SetPlugged(dir, true, &error);
    else if (command == "unplug")
        ok = ruvo::phone::SetPlugged(dir, false, &error);
    else if (command == "trust")
        ok = ruvo::phone::SetTrusted(dir, true, &error);
    else if (command == "untrust")
        ok = ruvo::phone::SetTrusted(dir, false, &error);
    else if (command == "status")
        return Status(dir);
    else if (command == "ringtones")
        return Ringtones(dir);
    else
        return Usage("unknown command '" + command + "'");
    return ok ? 0 : Fail(error);
}
