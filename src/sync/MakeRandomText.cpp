// MakeRandomText: texts drawn from a process-wide generator seeded once from std::random_device.
#include "MakeRandomText.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <random>
#include <thread>

#include <unistd.h>

namespace {

std::mt19937_64 SeededGenerator() {
    try {
        std::random_device source;
        std::seed_seq seed{source(), source(), source(), source(), source(), source(), source(), source()};
        return std::mt19937_64(seed);
    } catch (const std::exception&) {
        // No source of randomness on this system: the clock's nanoseconds, the process and the
        // thread still make the seed differ from one start to the next.
        const auto now = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        const auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
        std::seed_seq seed{static_cast<unsigned>(now), static_cast<unsigned>(now >> 32),
                           static_cast<unsigned>(::getpid()), static_cast<unsigned>(thread)};
        return std::mt19937_64(seed);
    }
}

}  // namespace

std::string MakeRandomText(int length, const char* alphabet, const char* prefix) {
    if (length <= 0 || !alphabet || !*alphabet) return std::string();
    std::string text;
    if (prefix && std::strlen(prefix) <= static_cast<size_t>(length)) text = prefix;
    // Every index of the alphabet equally likely (the distribution rejects draws rather than
    // folding them with a modulo).
    std::uniform_int_distribution<size_t> index(0, std::strlen(alphabet) - 1);
    // One generator for the process: command threads are short-lived, and seeding one per thread
    // would ask the system for a seed on every command. Its state changes with every draw, so the
    // draws happen under a lock.
    static std::mutex lock;
    static std::mt19937_64 generator = SeededGenerator();
    std::scoped_lock guard(lock);
    while (text.size() < static_cast<size_t>(length)) text += alphabet[index(generator)];
    return text;
}
