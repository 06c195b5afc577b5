// The phone side of AFC: serves one connection's requests on files beneath a root directory.
#ifndef RUVO_AFC_SERVER_H
#define RUVO_AFC_SERVER_H

#include <string>

namespace ruvo::afc {

// How client paths are resolved beneath the root. Auto lets the kernel confine the lookup
// (openat2) and walks the path component by component where the kernel lacks it; Walk always
// walks, so the fallback is exercised on kernels that have openat2 too.
enum class Resolution { Auto, Walk };

struct ServeOptions {
    Resolution resolution = Resolution::Auto;
};

// Blocks serving requests on fd until the peer closes it or sends a malformed packet, then
// closes fd. Every path the peer names stays inside rootDir: a leading "/" means rootDir,
// and neither ".." nor a symbolic link leads out of it.
void ServeAfc(int fd, const std::string& rootDir);
void ServeAfc(int fd, const std::string& rootDir, const ServeOptions& options);

}  // namespace ruvo::afc

#endif
