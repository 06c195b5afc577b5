// RemoveTree: removes a folder with everything in it, beneath a directory descriptor.
#pragma once

#include <string>

namespace ruvo::afc {

// Folder depth that RemoveTree descends; each level holds one descriptor.
inline constexpr int kMaxRemoveDepth = 128;

// Removes the entry name of parentFd and, for a folder, everything in it. Links are removed,
// never followed. Returns 0 or the errno of the first failure.
int RemoveTree(int parentFd, const std::string& name, int depth = 0);

}  // namespace ruvo::afc
