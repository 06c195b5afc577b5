// LoopbackHttpServer: a report endpoint for tests that records every request byte for byte and answers as told.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Listens on 127.0.0.1 at a port of the kernel's choice and serves one request per connection on
// its own thread. Each request is read whole (headers, then the body its Content-Length
// announces), recorded, and answered with the next queued answer, or the default answer when
// none is queued.
class LoopbackHttpServer {
public:
    struct Answer {
        enum class Kind {
            Reply,        // status line, headers with Content-Length, body; then the connection closes
            Unannounced,  // status 200 without Content-Length: the body runs until the connection closes
            Silent,       // reads the request and never answers; the connection stays open
        };
        Kind kind = Kind::Reply;
        int status = 200;
        std::string body;
        std::string extraHeaders;  // complete header lines, each ending in CR LF
    };
    static Answer Reply(int status, std::string body, std::string extraHeaders = std::string());
    static Answer Unannounced(std::string body);
    static Answer Silent();
    // Status 200 with the body a report endpoint answers: the marker "0" and the Base64 of json.
    static Answer JsonReply(const std::string& json);

    LoopbackHttpServer();
    ~LoopbackHttpServer();

    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    uint16_t Port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by the path.
    std::u16string Url(const std::string& path) const;

    void SetDefaultAnswer(Answer answer);
    void QueueAnswer(Answer answer);

    // The requests received so far, in order, each exactly as its bytes arrived.
    std::vector<std::string> Requests() const;
    // Blocks until at least count requests have been recorded, and returns them.
    std::vector<std::string> WaitForRequests(size_t count) const;

private:
    void Serve();
    // Reads one request; false when the server is stopping. The bytes read are left in request.
    bool ReadRequest(int fd, std::string& request);
    Answer NextAnswer();
    void Record(const std::string& request);

    int m_listenFd = -1;
    int m_stopFd = -1;  // an eventfd that wakes the server thread to end
    uint16_t m_port = 0;
    std::vector<int> m_heldFds;  // connections of silent answers, closed when the server ends

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_recorded;
    std::vector<std::string> m_requests;
    std::deque<Answer> m_queue;
    Answer m_default;

    std::thread m_thread;
};
