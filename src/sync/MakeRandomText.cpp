// MakeRandomText: srand(time) and rand() mod the alphabet, as the phone's library files expect them.
#include "MakeRandomText.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

std::string MakeRandomText(int length, const char* alphabet, const char* prefix) {
    if (length <= 0 || !alphabet || !*alphabet) return std::string();
    std::string text;
    if (prefix && std::strlen(prefix) <= static_cast<size_t>(length)) text = prefix;
    const size_t size = std::strlen(alphabet);
    // The generator's state is the process's: seeding and drawing happen under one lock so that
    // two threads drawing at once each get the sequence of their own seed.
    static std::mutex generator;
    std::scoped_lock lock(generator);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    while (text.size() < static_cast<size_t>(length)) text += alphabet[static_cast<size_t>(std::rand()) % size];
    return text;
}
