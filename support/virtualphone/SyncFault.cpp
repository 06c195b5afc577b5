// SyncFault: the fault file of a phone's folder, written atomically and taken by one session.
#include "SyncFault.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#include "ReplaceFile.h"
#include "UniqueFd.h"

namespace ruvo::phone {
namespace {

constexpr std::array<std::pair<std::string_view, SyncStep>, 4> kSteps{{
    {"allowed", SyncStep::Allowed},
    {"ready", SyncStep::Ready},
    {"manifest", SyncStep::Manifest},
    {"finished", SyncStep::Finished},
}};
constexpr std::array<std::pair<std::string_view, SyncFaultAction>, 3> kActions{{
    {"sync-failed", SyncFaultAction::SyncFailed},
    {"drop", SyncFaultAction::Drop},
    {"silent", SyncFaultAction::Silent},
}};
// The stored text is one short line; anything longer is not a fault of ours.
constexpr size_t kMaxFaultText = 64;

template <typename Table, typename Value>
std::string_view NameOf(const Table& table, Value value) {
    for (const auto& [name, entry] : table)
        if (entry == value) return name;
    return {};
}

std::string FaultPath(const std::string& dir) { return dir + "/" + SyncFault::kFileName; }

}  // namespace

std::optional<SyncFault> SyncFault::Parse(std::string_view step, std::string_view action) {
    std::optional<SyncStep> foundStep;
    std::optional<SyncFaultAction> foundAction;
    for (const auto& [name, value] : kSteps)
        if (name == step) foundStep = value;
    for (const auto& [name, value] : kActions)
        if (name == action) foundAction = value;
    if (!foundStep || !foundAction) return std::nullopt;
    return SyncFault(*foundStep, *foundAction);
}

std::string SyncFault::Text() const {
    return std::string(NameOf(kSteps, m_step)) + " " + std::string(NameOf(kActions, m_action));
}

bool SyncFault::Store(const std::string& dir, std::string* error) const {
    if (ReplaceFileAt(AT_FDCWD, FaultPath(dir), Text() + "\n")) return true;
    if (error) *error = "cannot write " + FaultPath(dir) + ": " + std::strerror(errno);
    return false;
}

bool SyncFault::Clear(const std::string& dir, std::string* error) {
    if (::unlink(FaultPath(dir).c_str()) == 0 || errno == ENOENT) return true;
    if (error) *error = "cannot remove " + FaultPath(dir) + ": " + std::strerror(errno);
    return false;
}

std::optional<SyncFault> SyncFault::Take(const std::string& dir) {
    // Renaming the file away is what takes it: of two sessions starting at once, one rename
    // succeeds and the other finds nothing.
    const std::string taken =
        dir + "/." + kFileName + ".taken." + std::to_string(::getpid()) + "." + std::to_string(std::random_device{}());
    if (::rename(FaultPath(dir).c_str(), taken.c_str()) != 0) return std::nullopt;
    char text[kMaxFaultText + 1] = {};
    ssize_t length = -1;
    {
        UniqueFd file(::open(taken.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.Valid()) length = ::read(file.Get(), text, kMaxFaultText + 1);
    }
    ::unlink(taken.c_str());
    if (length <= 0 || static_cast<size_t>(length) > kMaxFaultText) return std::nullopt;
    std::string_view line(text, static_cast<size_t>(length));
    if (line.ends_with('\n')) line.remove_suffix(1);
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    return Parse(line.substr(0, space), line.substr(space + 1));
}

}  // namespace ruvo::phone
