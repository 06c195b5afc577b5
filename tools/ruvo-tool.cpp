// ruvo-tool: command-line access to the data formats, for debugging what travels over the phone link.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>


#include "CBase64.h"
#include "CJson.h"
#include "CParseBplist.h"
#include "ModulePath.h"
#include "TextEncoding.h"
#include "ToolModule.h"

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
    "  addring [--from SECONDS] [--progress] AUDIO_FILE TITLE [SECONDS]\n"
    "                   add the audio file as a ringtone; prints TRUE or FALSE. An .m4r file\n"
    "                   goes as it is; other audio (MP3, Ogg, FLAC, WAV, M4A) is made into AAC\n"
    "                   first: SECONDS long (at most 40) from second --from; --progress prints\n"
    "                   \"converting NN%\" lines on standard error\n"
    "  delring PID...   delete the ringtones with these persistent ids; prints TRUE or FALSE\n"
    "  host-info [--root DIR]\n"
    "                   print what usage reports say about this computer: each pair of the host\n"
    "                   description (key, tab, value), then the header value as it is sent;\n"
    "                   with --root, the system files below DIR and no live network state\n"
    "  --help           print this help\n";

// The whole of a stream, read in large blocks (false on a read error).
bool ReadAll(std::FILE* in, std::string& bytes) {
    char block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0) bytes.append(block, got);
    return std::ferror(in) == 0;
}

std::string ReadStandardInput() {
    std::string bytes;
    ReadAll(stdin, bytes);
    return bytes;
}

// Every output ends with one newline.
void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
}

// Text as UTF-8, a block at a time (a surrogate pair is never split between blocks), so that a
// large text is never held twice; ends with one newline like Print.
void PrintText(std::u16string_view text) {
    constexpr size_t kBlock = size_t{1} << 15;
    char last = '\n';
    bool any = false;
    while (!text.empty()) {
        size_t take = std::min(kBlock, text.size());
        if (take < text.size() && text[take - 1] >= 0xD800 && text[take - 1] <= 0xDBFF) --take;
        const std::string bytes = TextToUtf8(text.substr(0, take));
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        if (!bytes.empty()) {
            last = bytes.back();
            any = true;
        }
        text.remove_prefix(take);
    }
    if (!any || last != '\n') std::fputc('\n', stdout);
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

// The commands that reach phones or the host live in a module of their own, loaded only when one
// of them runs: the format commands then start without loading the device layer, libcurl and
// everything these bring in.
int RunModuleCommand(int argc, char** argv) {
    const std::string path = ruvo::ModulePath(kModuleName);
    // Kept loaded until the process ends: the command's threads and handlers use its code.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = dlerror();
        return Fail("cannot load " + path + ": " + (error ? error : "unknown error"), 1);
    }
    using Entry = int (*)(int, char**);
    auto entry = reinterpret_cast<Entry>(dlsym(module, kModuleEntry));
    if (entry == nullptr) return Fail(path + " has no " + kModuleEntry, 1);
    std::fflush(stdout);
    return entry(argc, argv);
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
        const std::u16string text = Utf8ToText(ReadStandardInput());
        if (command == "checkjson") {
            Print(CJson::CheckJson(text) ? "true" : "false");
            return 0;
        }
        std::unique_ptr<CJson> tree(CJson::Parse(text));
        if (command == "json") {
            PrintText(tree->ToString());
        } else {
            std::string out;
            PrintTree(tree.get(), 0, out);
            Print(out);
        }
        return 0;
    }

    if (command == "bplist") {
        if (argc < 3) return Fail("bplist: missing FILE", 2);
        std::FILE* file = std::fopen(argv[2], "rb");
        if (file == nullptr) return Fail(std::string("cannot read ") + argv[2] + ": " + std::strerror(errno), 1);
        std::string bytes;
        const bool read = ReadAll(file, bytes);
        std::fclose(file);
        if (!read) return Fail(std::string("cannot read ") + argv[2], 1);
        // The parser takes a signed length; a catalogue is far smaller than that.
        if (bytes.size() > 0x7FFFFFFF) return Fail(std::string(argv[2]) + " is too large", 1);
        CParseBplist parser;
        std::unique_ptr<CJson> tree(
            parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
        PrintText(tree->ToString());
        return 0;
    }

    if (command == "base64-encode") {
        const std::string bytes = ReadStandardInput();
        if (bytes.size() > 0x3FFFFFFF) return Fail("input too large", 1);
        CBase64 base64;
        Print(TextToUtf8(
            base64.EncodeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()))));
        return 0;
    }

    if (command == "base64-decode") {
        const std::string input = ReadStandardInput();
        if (input.size() > 0x3FFFFFFF) return Fail("input too large", 1);
        CBase64 base64;
        Print(TextToUtf8(base64.Decode(Utf8ToText(input))));
        return 0;
    }

    if (command == "host-info" || command == "device" || command == "ringtones" || command == "addring" ||
        command == "delring")
        return RunModuleCommand(argc, argv);

    return Fail("unknown command '" + command + "' (try --help)", 2);
}
