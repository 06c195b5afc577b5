// MakeRandomText: the random texts of the ringtone writer (persistent ids, guids, file names).
#pragma once

#include <string>

// A text of length characters: the prefix (when given and not longer than length), then
// characters of the alphabet drawn with the C library's generator, which is seeded with the
// current time in seconds on every call, so calls within one second draw the same sequence.
std::string MakeRandomText(int length, const char* alphabet, const char* prefix = nullptr);
