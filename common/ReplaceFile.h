// ReplaceFile: writes a whole file beside its final name and renames it into place.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <string_view>

namespace ruvo {

// Replaces the file name of dirFd (AT_FDCWD for a path) with bytes: a temporary file beside it is
// written, flushed to disk and renamed over it, so that a reader sees either the old content or
// the new one, never half of one. False (and nothing left behind) when any step fails.
inline bool ReplaceFileAt(int dirFd, const std::string& name, std::string_view bytes, mode_t mode = 0644) {
    const std::string temp = name + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(std::random_device{}());
    const int fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            ::unlinkat(dirFd, temp.c_str(), 0);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!synced || !closed || ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return false;
    }
    return true;
}

}  // namespace ruvo
