// PathResolver: opens the paths an AFC client names beneath the root folder of its connection.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UniqueFd.h"

namespace ruvo::afc {

// How client paths are resolved beneath the root. Auto lets the kernel confine the lookup
// (openat2) where it can and walks the path component by component where the kernel lacks it
// or a sandbox forbids it; Walk always walks, so the fallback is exercised everywhere.
enum class Resolution { Auto, Walk };

// Splits a client path into its components; empty ones and "." say nothing and are dropped,
// ".." is kept for the resolver, which never lets it climb above the root.
std::vector<std::string> SplitPath(std::string_view path);

// The target of the link name in dirFd; nothing (errno set) when it cannot be read.
std::optional<std::string> ReadLinkAt(int dirFd, const char* name);

// Whether openat2 with RESOLVE_IN_ROOT works in this process. Asked of the kernel once: a kernel
// without it answers ENOSYS, and container seccomp profiles answer EPERM.
bool KernelConfinesLookups();

// Opens paths beneath the root as if the root were "/" of the file system: ".." stops at the
// root and a symbolic link's target (absolute or relative) is looked up inside it.
class PathResolver {
public:
    PathResolver(UniqueFd root, Resolution resolution);

    int Root() const { return m_root.Get(); }

    // Opens the object the components name, following links within the root.
    // Returns the descriptor or -errno.
    int Open(const std::vector<std::string>& parts, int flags, mode_t mode);

private:
    int OpenWithKernel(const std::vector<std::string>& parts, int flags, mode_t mode);
    int OpenByWalk(const std::vector<std::string>& parts, int flags, mode_t mode);

    UniqueFd m_root;
    bool m_useOpenat2;
};

}  // namespace ruvo::afc
