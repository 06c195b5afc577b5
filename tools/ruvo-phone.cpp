// ruvo-phone: makes and controls virtual phones (plug, unplug, trust, sync faults, files) while an assistant runs.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "MediaArea.h"
#include "RingtoneCatalogue.h"
#include "SyncFault.h"
#include "VirtualPhone.h"

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
    "  --help         print this help\n"
    "\n"
    "Phones are listed in the hub directory named by RUVO_PHONE_HUB\n"
    "(default: $XDG_STATE_HOME/ruvo/phones), which a running assistant watches.\n";

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
    config.systemApps = {"com.apple.mobilephone", "com.apple.MobileSMS", "com.apple.Preferences"};
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
    // Integers as a binary property list holds them: 64-bit and signed.
    const auto number = [](const std::optional<uint64_t>& value) {
        return value ? std::to_string(static_cast<int64_t>(*value)) : std::string();
    };
    for (const auto& entry : catalogue->Entries())
        std::printf("%s\t%s\t%s\t%s\n", number(entry.pid).c_str(), entry.name.c_str(), entry.file.c_str(),
                    number(entry.totalTimeMs).c_str());
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("missing command");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 3) return Usage(command + ": missing DIR");
    const std::string dir = argv[2];
    std::vector<std::string> options(argv + 3, argv + argc);

    if (command == "init") return Init(dir, options);
    if (command == "prefs") return Prefs(dir, options);
    if (command == "fault") return Fault(dir, options);
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
