// ToolModule: the ruvo-tool commands that reach phones and the host, in a module that ruvo-tool
// loads only when one of them runs (see ruvo-tool.cpp).
#include "ToolModule.h"

#include <cstdio>
#include <string>
#include <vector>

#include "CLinkState.h"
#include "DeviceCommand.h"
#include "HostDescription.h"
#include "LinuxHostFacts.h"
#include "TextEncoding.h"

namespace {

int Fail(const std::string& message, int status) {
    std::fprintf(stderr, "ruvo-tool: %s\n", message.c_str());
    return status;
}

// The host description's pairs and then its header value, made from one reading of the facts
// so that the two always agree.
int HostInfo(int argc, char** argv) {
    LinuxHostFacts::Options options = LinuxHostFacts::OptionsFromEnvironment();
    if (argc == 4 && std::string(argv[2]) == "--root") {
        options.root = argv[3];
    } else if (argc != 2) {
        return Fail("host-info: usage: host-info [--root DIR]", 2);
    }
    LinuxHostFacts facts(options);
    const std::vector<HostDescriptionPair> pairs = CollectHostDescription(facts, CLinkState().m_linkVersion);
    std::string out;
    for (const HostDescriptionPair& pair : pairs) out += TextToUtf8(pair.key) + '\t' + TextToUtf8(pair.value) + '\n';
    out += TextToUtf8(HostDescriptionHeaderValue(JoinHostDescription(pairs))) + '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int RuvoToolModuleMain(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "host-info") return HostInfo(argc, argv);
    if (command == "device") return RunDeviceCommand(argc - 1, argv + 1);
    if (command == "ringtones" || command == "addring" || command == "delring")
        return RunRingtoneCommand(argc - 1, argv + 1);
    return Fail("unknown command '" + command + "' (try --help)", 2);
}
