// Shared by the tests that play one end of a service socket: whole sends and bounded whole reads.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace socket_test {

// Sends every byte (no SIGPIPE); false when the peer is gone.
inline bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

// Exactly n bytes within the wait; nothing when the peer closed or was silent too long.
inline std::optional<std::string> ReadExact(int fd, size_t n, std::chrono::milliseconds wait) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (data.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        std::vector<char> buffer(std::min<size_t>(n - data.size(), 1 << 20));
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) return std::nullopt;
        data.append(buffer.data(), static_cast<size_t>(got));
    }
    return data;
}

}  // namespace socket_test
