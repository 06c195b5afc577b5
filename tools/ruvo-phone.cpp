// ruvo-phone: makes and controls virtual phones (plug, unplug, trust) while an assistant runs.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    "  status DIR     print the phone's state\n"
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
    if (argc < 3) return Usage(command + ": missing DIR");
    const std::string dir = argv[2];
    std::vector<std::string> options(argv + 3, argv + argc);

    if (command == "init") return Init(dir, options);
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
    else
        return Usage("unknown command '" + command + "'");
    return ok ? 0 : Fail(error);
}
