// MediaArea: the files and folders of a phone's media area as the phone itself uses them, every path looked up inside it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PathResolver.h"
#include "UniqueFd.h"

namespace ruvo::phone {

enum class MakeMissing { No, Yes };
enum class FileRead { Ok, Missing, Failed };

// Paths are lists of components beneath the media root (as afc::SplitPath gives them); a symbolic
// link inside the area is followed within it, so nothing reached through the area lies outside.
class MediaArea {
public:
    // The media area of the phone in phoneDir; invalid when the phone has none (or it is a link).
    explicit MediaArea(const std::string& phoneDir);

    bool Valid() const { return m_valid; }

    // Normalises a path the way a client means it: empty components and "." go, ".." drops the
    // component before it. Nothing when ".." would climb above the root of the area.
    static std::optional<std::vector<std::string>> Normalise(std::string_view path);

    // Opens the folder (O_PATH) that the components name, making missing folders when asked;
    // invalid, with errno set, when it cannot.
    UniqueFd OpenFolder(const std::vector<std::string>& parts, MakeMissing make = MakeMissing::No);
    // Reads the whole regular file into out when it holds at most limit bytes.
    FileRead ReadFile(const std::vector<std::string>& parts, size_t limit, std::string& out);
    // Replaces the file atomically with bytes, making its missing folders.
    bool ReplaceFile(const std::vector<std::string>& parts, std::string_view bytes);
    // Removes the file (a missing one counts as removed).
    bool RemoveFile(const std::vector<std::string>& parts);

private:
    afc::PathResolver m_resolver;
    bool m_valid;
};

}  // namespace ruvo::phone
