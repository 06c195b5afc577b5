// CompanionRequest: the texts of the companion app's PCConnection files as `ruvo-phone request` writes and reads them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo::phone {

// The assistant reads at most this many bytes of a Request file, so a request must be shorter.
inline constexpr size_t kMaxRequestBytes = 1023;

// One request of the companion app: getring, addring or delring with their parameters.
struct CompanionRequest {
    std::string command;
    // addring: the audio file's path in the container ("/Documents/<name>"), the ringtone's
    // title and its length in seconds, each as given.
    std::string file;
    std::string title;
    std::string seconds;
    // delring: the persistent ids of the ringtones to delete, as given.
    std::vector<std::string> pids;
};

// The Request text as the app writes it: a JSON array of one object with the members "Sign",
// "Command" and (addring, delring) "Parms", no white space between tokens. Numbers that are an
// optional minus and digits are written bare, anything else as a string; strings escape only
// '"' and '\'.
std::string RequestText(const CompanionRequest& request, const std::string& sign);

// The value text of "Sign" in a PCConnection file (the one object of its array); nothing when
// the bytes are not a whole array of an object with a Sign, as a half-written file is not.
std::optional<std::string> FileSign(std::string_view bytes);

// A new Sign: the clock in milliseconds modulo 10^9, plus 1 (so never 0, -1 or led by a zero),
// stepped on past every Sign in taken.
std::string FreshSign(const std::vector<std::string>& taken);

}  // namespace ruvo::phone
