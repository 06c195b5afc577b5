// CHttpClient: one form-encoded HTTP POST per call, and its JSON form that carries usage reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CJson.h"

// The request is exactly: POST with HTTP/1.1, the headers "Host", "User-Agent: http",
// "Content-Type: application/x-www-form-urlencoded", "Accept: */*", the client's extra header
// line, "Content-Length", then the body. Nothing else is sent: no "Expect: 100-continue", no
// compression offer; a redirect is not followed. Only an answer with status 200 is read.
//
// Every request is bounded: connecting takes at most kConnectTimeoutMs and the whole exchange at
// most kRequestTimeoutMs (RUVO_HTTP_CONNECT_TIMEOUT_MS and RUVO_HTTP_TIMEOUT_MS may shorten them,
// never lengthen them), and an answer body over kMaxAnswerBytes is dropped unread. A request that
// cannot complete, for whatever reason, gives an empty answer; nothing is retried or reported.
// PostJson reads far less: the report server's acknowledgement is a few bytes, and the JSON
// reader's cost grows with the answer's size times its nesting, so an answer body over
// kMaxAcknowledgementBytes is no acknowledgement: it is dropped unread and never parsed.
//
// A client is used by one thread; any number of clients may work at once on different threads.
class CHttpClient {
public:
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kRequestTimeoutMs = 30000;
    static constexpr int64_t kMaxAnswerBytes = 1024 * 1024;
    static constexpr int64_t kMaxAcknowledgementBytes = 4096;

    // extraHeader is one raw header line ("Name:value"), sent as given with every request; empty
    // for none. Only its first line counts: a line break cannot smuggle in more headers or a body.
    explicit CHttpClient(const std::u16string& extraHeader);
    virtual ~CHttpClient();

    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // Posts the form text (sent as UTF-8, no body when empty) and returns the answer body as text:
    // UTF-8 when its bytes are shaped like UTF-8, else the ANSI code page. Empty when there is no
    // answer.
    std::u16string Post(const std::u16string& url, const std::u16string& form);

    // Posts the request tree as the form field "field=0<Base64 of its UTF-8 JSON text>" (only
    // "field=" for a null request; without "field=" for an empty field name) and returns the
    // answer, a marker character and the Base64 of a JSON text, as a new tree. Null when the
    // answer is empty or its body is longer than kMaxAcknowledgementBytes.
    std::unique_ptr<CJson> PostJson(const std::u16string& url, CJson* request, const std::u16string& field);

    // The bounds in force, as read from the environment at each request.
    static int ConnectTimeoutMs();
    static int RequestTimeoutMs();

private:
    // The answer's body bytes (status 200 only), or nothing when the exchange did not complete or
    // the body is longer than maxAnswerBytes.
    std::string SendPost(const std::u16string& url, const uint8_t* body, int64_t length, int64_t maxAnswerBytes);

    std::u16string m_extraHeader;
};
