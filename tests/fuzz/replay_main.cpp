// Replays stored fuzz inputs without libFuzzer: every regular file of each folder (or each file)
// named on the command line goes once through the target's LLVMFuzzerTestOneInput, so that the
// inputs that once broke a parser stay in the ordinary test suite and its sanitizer builds.
// A folder without inputs fails the run, so that a wrong path cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// The files to replay for one argument, in name order so that every run goes the same way.
bool CollectInputs(const fs::path& argument, std::vector<fs::path>& inputs) {
    std::error_code error;
    if (fs::is_regular_file(argument, error)) {
        inputs.push_back(argument);
        return true;
    }
    if (!fs::is_directory(argument, error)) {
        std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", argument.c_str());
        return false;
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
        if (entry.is_regular_file(error)) found.push_back(entry.path());
    }
    if (error || found.empty()) {
        std::fprintf(stderr, "replay: no inputs in %s\n", argument.c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
    return true;
}

// Runs one input from a heap block of exactly its size, so that AddressSanitizer reports a read
// one byte past the end as libFuzzer's own buffers would.
bool Replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return false;
    }
    auto block = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.get());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(block.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!CollectInputs(argv[i], inputs)) return 1;
    }
    for (const fs::path& file : inputs) {
        if (!Replay(file)) return 1;
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
