// LoopbackHttpServer: a report endpoint for tests that records every request byte for byte and answers as told.
#include "LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "Base64Text.h"

namespace {

const char* Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the client went away, which some cases expect
        done += static_cast<size_t>(n);
    }
}

// The Content-Length the headers announce (0 when none).
size_t AnnouncedLength(const std::string& headers) {
    std::string lower = headers;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string name = "\r\ncontent-length:";
    const size_t at = lower.find(name);
    if (at == std::string::npos) return 0;
    return static_cast<size_t>(std::strtoul(lower.c_str() + at + name.size(), nullptr, 10));
}

}  // namespace

LoopbackHttpServer::Answer LoopbackHttpServer::Reply(int status, std::string body, std::string extraHeaders) {
    Answer a;
    a.kind = Answer::Kind::Reply;
    a.status = status;
    a.body = std::move(body);
    a.extraHeaders = std::move(extraHeaders);
    return a;
}

LoopbackHttpServer::Answer LoopbackHttpServer::Unannounced(std::string body) {
    Answer a;
    a.kind = Answer::Kind::Unannounced;
    a.body = std::move(body);
    return a;
}

LoopbackHttpServer::Answer LoopbackHttpServer::Silent() {
    Answer a;
    a.kind = Answer::Kind::Silent;
    return a;
}

LoopbackHttpServer::Answer LoopbackHttpServer::JsonReply(const std::string& json) {
    return Reply(200, "0" + EncodeBase64(json));
}

LoopbackHttpServer::LoopbackHttpServer() : m_default(JsonReply("{\"ResultCode\":0}")) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 16) != 0 || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("the loopback server cannot listen");
    m_port = ntohs(address.sin_port);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_stopFd < 0) throw std::runtime_error("no eventfd");
    m_thread = std::thread([this] { Serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    const uint64_t one = 1;
    (void)!::write(m_stopFd, &one, sizeof one);
    m_thread.join();
    for (int fd : m_heldFds) ::close(fd);
    ::close(m_listenFd);
    ::close(m_stopFd);
}

std::u16string LoopbackHttpServer::Url(const std::string& path) const {
    const std::string url = "http://127.0.0.1:" + std::to_string(m_port) + path;
    return std::u16string(url.begin(), url.end());
}

void LoopbackHttpServer::SetDefaultAnswer(Answer answer) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_default = std::move(answer);
}

void LoopbackHttpServer::QueueAnswer(Answer answer) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_queue.push_back(std::move(answer));
}

std::vector<std::string> LoopbackHttpServer::Requests() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requests;
}

std::vector<std::string> LoopbackHttpServer::WaitForRequests(size_t count) const {
    std::unique_lock<std::mutex> guard(m_mutex);
    m_recorded.wait(guard, [&] { return m_requests.size() >= count; });
    return m_requests;
}

LoopbackHttpServer::Answer LoopbackHttpServer::NextAnswer() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_queue.empty()) return m_default;
    Answer a = std::move(m_queue.front());
    m_queue.pop_front();
    return a;
}

void LoopbackHttpServer::Record(const std::string& request) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_requests.push_back(request);
    m_recorded.notify_all();
}

bool LoopbackHttpServer::ReadRequest(int fd, std::string& request) {
    size_t headerEnd = std::string::npos;
    for (;;) {
        if (headerEnd == std::string::npos) headerEnd = request.find("\r\n\r\n");
        if (headerEnd != std::string::npos &&
            request.size() >= headerEnd + 4 + AnnouncedLength(request.substr(0, headerEnd + 2)))
            return true;
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents != 0) return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;  // the client closed early: what arrived is the request
        request.append(buffer, static_cast<size_t>(n));
    }
}

void LoopbackHttpServer::Serve() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::string request;
        const bool serving = ReadRequest(fd, request);
        Record(request);
        if (!serving) {
            ::close(fd);
            return;
        }
        const Answer answer = NextAnswer();
        if (answer.kind == Answer::Kind::Silent) {
            m_heldFds.push_back(fd);
            continue;
        }
        std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
        if (answer.kind == Answer::Kind::Reply)
            head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
        head += answer.extraHeaders + "Connection: close\r\n\r\n";
        SendAll(fd, head + answer.body);
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}
