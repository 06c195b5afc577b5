// AfcServer: one AFC session per connection on a root folder that is opened without following links.
#include "AfcServer.h"

#include <fcntl.h>

#include <utility>

#include "AfcSession.h"

namespace ruvo::afc {

void ServeAfc(int fd, UniqueFd root, const ServeOptions& options) {
    UniqueFd connection(fd);
    if (!root.Valid()) return;
    try {
        AfcSession session(connection.Get(), PathResolver(std::move(root), options.resolution));
        session.Run();
    } catch (...) {
        // Out of memory inside one session: that connection ends, the phone keeps running.
    }
}

void ServeAfc(int fd, const std::string& rootDir, const ServeOptions& options) {
    ServeAfc(fd, UniqueFd(open(rootDir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), options);
}

}  // namespace ruvo::afc
