// MakeRandomText: the random texts of the ringtone writer (persistent ids, guids, file names).
#pragma once

#include <string>

// A text of length characters: the prefix (when given and not longer than length), then
// characters of the alphabet, each drawn evenly from it. The draws come from one generator for
// the whole process, seeded once from the system's source of randomness, so texts drawn one
// right after another (several additions within one second, or on several threads at once) are
// independent of each other.
std::string MakeRandomText(int length, const char* alphabet, const char* prefix = nullptr);
