// Shared by the tests that play the phone app through files: whole reads, writes that appear at once, and bounded waits.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace file_test {

// The file's bytes; nothing when it cannot be opened.
inline std::optional<std::string> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Writes a temporary file beside the path and renames it into place (making missing folders), so
// that a reader never meets it half-written, as the phone app writes its request.
inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    const std::filesystem::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::filesystem::rename(temporary, path);
}

// Polls the condition every 20 ms until it holds or the bound passes; whether it held.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace file_test
