// AfcServer: the phone side of AFC: serves one connection's requests on files beneath a root folder.
#pragma once

#include <string>

#include "PathResolver.h"
#include "UniqueFd.h"

namespace ruvo::afc {

struct ServeOptions {
    Resolution resolution = Resolution::Auto;
};

// Blocks serving requests on fd until the peer closes it or sends a malformed packet, then
// closes fd. Every path the peer names stays inside root (an opened folder): a leading "/"
// means root, and neither ".." nor a symbolic link leads out of it.
void ServeAfc(int fd, UniqueFd root, const ServeOptions& options = {});
// The same with the root named by path; a root that is itself a symbolic link is refused
// (the connection is closed unserved).
void ServeAfc(int fd, const std::string& rootDir, const ServeOptions& options = {});

}  // namespace ruvo::afc
