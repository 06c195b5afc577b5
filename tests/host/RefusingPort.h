// RefusingPort: a loopback port where connecting is refused, for the tests' "no server" cases.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// A loopback port with a socket bound to it but not listening: connecting is refused, and no
// other program can take the port while the test runs.
class RefusingPort {
public:
    RefusingPort() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(m_fd); }
    std::u16string Url() const {
        const std::string url = "http://127.0.0.1:" + std::to_string(m_port) + "/report/index";
        return std::u16string(url.begin(), url.end());
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};
