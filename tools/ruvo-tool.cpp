// ruvo-tool: command-line access to the data formats, for debugging what travels over the phone link.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CBase64.h"
#include "CJson.h"
#include "CLinkState.h"
#include "CParseBplist.h"
#include "DeviceCommand.h"
#include "HostDescription.h"
#include "LinuxHostFacts.h"
#include "TextEncoding.h"

namespace {

const char kUsage[] =
    "usage: ruvo-tool COMMAND [ARG]\n"
    "\n"
    "Text on standard input and output is UTF-8.\n"
    "\n"
    "  json             parse standard input as JSON and print it as the link writes it\n"
    "  json-tree        print the parsed tree, one node a line: indent, type, key, value\n"
    "  checkjson        print true or false: does standard input look like JSON\n"
    "  bplist FILE      print the tree read from a binary property list\n"
    "  base64-encode    print the Base64 of the bytes on standard input\n"
    "  base64-decode    print the text that the Base64 on standard input decodes to\n"
    "  device events [--for SECONDS]\n"
    "                   print every device event: link index, event type, text\n"
    "  device info      print the current phone's name, model and versions\n"
    "  device apps [--system]\n"
    "                   print the bundle ids of the installed user (or system) apps\n"
    "  device ls|cat|rm|mkdir [--app BUNDLE_ID] PATH\n"
    "  device put [--app BUNDLE_ID] LOCAL_FILE PATH\n"
    "                   files of the media area, or of the app's container\n"
    "  ringtones        print the current phone's ringtone catalogue as JSON\n"
    "  addring AUDIO_FILE TITLE SECONDS\n"
    "                   add the audio file as a ringtone; prints TRUE or FALSE\n"
    "  delring PID...   delete the ringtones with these persistent ids; prints TRUE or FALSE\n"
    "  host-info [--root DIR]\n"
    "                   print what usage reports say about this computer: each pair of the host\n"
    "                   description (key, tab, value), then the header value as it is sent;\n"
    "                   with --root, the system files below DIR and no live network state\n"
    "  --help           print this help\n";

std::string ReadAll(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every output ends with one newline.
void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
}

void PrintTree(CJson* node, int depth, std::string& out) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += TextToUtf8(node->GetType());
    out += '\t';
    out += TextToUtf8(node->GetKey());
    out += '\t';
    out += TextToUtf8(node->GetValue());
    out += '\n';
    for (int i = 0; i < node->GetChildCount(); ++i) PrintTree(node->GetChild(i), depth + 1, out);
}

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

int main(int argc, char** argv) {
    if (argc < 2) return Fail("missing command (try --help)", 2);
    const std::string command = argv[1];

    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }

    if (command == "json" || command == "json-tree" || command == "checkjson") {
        const std::u16string text = Utf8ToText(ReadAll(std::cin));
        if (command == "checkjson") {
            Print(CJson::CheckJson(text) ? "true" : "false");
            return 0;
        }
        std::unique_ptr<CJson> tree(CJson::Parse(text));
        if (command == "json") {
            Print(TextToUtf8(tree->ToString()));
        } else {
            std::string out;
            PrintTree(tree.get(), 0, out);
            Print(out);
        }
        return 0;
    }

    if (command == "bplist") {
        if (argc < 3) return Fail("bplist: missing FILE", 2);
        std::ifstream file(argv[2], std::ios::binary);
        if (!file) return Fail(std::string("cannot read ") + argv[2] + ": " + std::strerror(errno), 1);
        std::string bytes = ReadAll(file);
        if (file.bad()) return Fail(std::string("cannot read ") + argv[2], 1);
        // The parser takes a signed length; a catalogue is far smaller than that.
        if (bytes.size() > 0x7FFFFFFF) return Fail(std::string(argv[2]) + " is too large", 1);
        CParseBplist parser;
        std::unique_ptr<CJson> tree(
            parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
        Print(TextToUtf8(tree->ToString()));
        return 0;
    }

    if (command == "base64-encode") {
        const std::string bytes = ReadAll(std::cin);
        if (bytes.size() > 0x3FFFFFFF) return Fail("input too large", 1);
        CBase64 base64;
        Print(TextToUtf8(
            base64.EncodeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()))));
        return 0;
    }

    if (command == "base64-decode") {
        const std::string input = ReadAll(std::cin);
        if (input.size() > 0x3FFFFFFF) return Fail("input too large", 1);
        CBase64 base64;
        Print(TextToUtf8(base64.Decode(Utf8ToText(input))));
        return 0;
    }

    if (command == "host-info") return HostInfo(argc, argv);

    if (command == "device") return RunDeviceCommand(argc - 1, argv + 1);
    if (command == "ringtones" || command == "addring" || command == "delring")
        return RunRingtoneCommand(argc - 1, argv + 1);

    return Fail("unknown command '" + command + "' (try --help)", 2);
}
