// CHttpClient: one form-encoded HTTP POST per call, and its JSON form that carries usage reports.
#include "CHttpClient.h"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CBase64.h"
#include "TextEncoding.h"
#include "WaitBound.h"

using ruvo::WaitBoundMs;

namespace {

constexpr const char* kConnectTimeoutVariable = "RUVO_HTTP_CONNECT_TIMEOUT_MS";
constexpr const char* kRequestTimeoutVariable = "RUVO_HTTP_TIMEOUT_MS";

// The user agent that reports have always carried; the server may tell clients apart by it.
constexpr const char* kUserAgent = "http";
// The marker character in front of the Base64 text of a JSON exchange.
constexpr char16_t kJsonMarker = u'0';

// libcurl's global set-up must run once before any handle exists and is not safe to run on two
// threads at once; clients may be made on any thread.
bool CurlReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What the transfer collects: the body of a status-200 answer, up to the size bound.
struct Answer {
    CURL* curl = nullptr;
    int64_t maxBytes = 0;
    std::string body;
};

size_t CollectBody(char* data, size_t size, size_t count, void* context) {
    auto* answer = static_cast<Answer*>(context);
    const size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(answer->curl, CURLINFO_RESPONSE_CODE, &status);
    // Returning less than was given stops the transfer: the body of another status is not read,
    // and a body that grows past the bound is dropped before it can be parsed.
    if (status != 200) return 0;
    if (static_cast<int64_t>(answer->body.size() + n) > answer->maxBytes) return 0;
    answer->body.append(data, n);
    return n;
}

// The URL split as the request needs it: where to connect ("scheme://host:port/", without any
// user name or password) and the object path sent in the request line (path and query). False
// when the URL is not an http or https URL with a host.
bool SplitUrl(const std::string& url, std::string& server, std::string& objectPath) {
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) return false;
    std::string scheme = url.substr(0, schemeEnd);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https") return false;
    const size_t authorityStart = schemeEnd + 3;
    size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = url.size();
    std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (authority.empty()) return false;
    server = scheme + "://" + authority + "/";

    std::string rest = url.substr(authorityEnd);
    const size_t fragment = rest.find('#');
    if (fragment != std::string::npos) rest.erase(fragment);
    objectPath = (rest.empty() || rest[0] != '/') ? "/" + rest : rest;
    return true;
}

}  // namespace

CHttpClient::CHttpClient(const std::u16string& extraHeader) : m_extraHeader(extraHeader) {
    const size_t lineEnd = m_extraHeader.find_first_of(u"\r\n");
    if (lineEnd != std::u16string::npos) m_extraHeader.erase(lineEnd);
}

CHttpClient::~CHttpClient() = default;

int CHttpClient::ConnectTimeoutMs() { return WaitBoundMs(kConnectTimeoutVariable, kConnectTimeoutMs); }

int CHttpClient::RequestTimeoutMs() { return WaitBoundMs(kRequestTimeoutVariable, kRequestTimeoutMs); }

std::unique_ptr<CJson> CHttpClient::PostJson(const std::u16string& url, CJson* request, const std::u16string& field) {
    std::u16string form;
    if (!field.empty()) form = field + u"=";
    if (request != nullptr) {
        // The JSON text goes out as UTF-8 by way of the ANSI code page, so characters that the
        // code page cannot hold arrive as "?", as they always have.
        const std::string utf8 = AnsiToUtf8(TextToAnsi(request->ToString()));
        form += kJsonMarker;
        form += CBase64().EncodeBytes(reinterpret_cast<const uint8_t*>(utf8.data()), static_cast<int>(utf8.size()));
    }
    const std::string body = AnsiToUtf8(TextToAnsi(form));
    // Only an answer the size of an acknowledgement is read: a longer one stops the transfer
    // and gives no tree, so the batch waits as after any other failure.
    std::string bytes = SendPost(url, reinterpret_cast<const uint8_t*>(body.data()), static_cast<int64_t>(body.size()),
                                 kMaxAcknowledgementBytes);
    const std::u16string answer = Utf8OrAnsiToText(bytes);
    explicit_bzero(bytes.data(), bytes.size());
    if (answer.empty()) return nullptr;
    // The first character is a marker whatever it is; the rest is the Base64 of the JSON text.
    return std::unique_ptr<CJson>(CJson::Parse(CBase64().Decode(answer.substr(1))));
}

std::u16string CHttpClient::Post(const std::u16string& url, const std::u16string& form) {
    std::string body;
    if (!form.empty()) body = AnsiToUtf8(TextToAnsi(form));
    std::string answer = SendPost(url, reinterpret_cast<const uint8_t*>(body.data()), static_cast<int64_t>(body.size()),
                                  kMaxAnswerBytes);
    // The answer's bytes are decoded once, as UTF-8 when they are shaped like it. (Decoding them
    // with the ANSI code page and encoding them back first would change nothing for an ANSI
    // answer but could garble a UTF-8 one under a double-byte code page.)
    const std::u16string text = Utf8OrAnsiToText(answer);
    explicit_bzero(answer.data(), answer.size());
    return text;
}

std::string CHttpClient::SendPost(const std::u16string& url, const uint8_t* body, int64_t length,
                                  int64_t maxAnswerBytes) {
    if (url.empty() || !CurlReady()) return std::string();
    // Characters beyond ASCII travel as percent-encoded UTF-8; everything else, spaces included,
    // goes into the request line as it was written.
    std::string server;
    std::string objectPath;
    if (!SplitUrl(TextToUtf8(UrlEncodeText(url)), server, objectPath)) return std::string();

    // Header lines in the order they are sent after Host and User-Agent; "Expect:" removes the
    // header libcurl would add for a large body, which a plain form post does not need.
    const std::string extraHeader = TextToAnsi(m_extraHeader);
    curl_slist* headers = nullptr;
    for (const char* line : {"Content-Type: application/x-www-form-urlencoded", "Accept: */*",
                             extraHeader.empty() ? nullptr : extraHeader.c_str(), "Expect:"}) {
        if (line == nullptr) continue;
        curl_slist* longer = curl_slist_append(headers, line);
        if (longer == nullptr) {
            curl_slist_free_all(headers);
            return std::string();
        }
        headers = longer;
    }
    // Declared before the handle, so that the list outlives it.
    std::unique_ptr<curl_slist, HeaderListDeleter> headerList(headers);

    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) return std::string();
    CURL* handle = curl.get();

    Answer answer;
    answer.curl = handle;
    answer.maxBytes = maxAnswerBytes;
    static const char kNoBody[] = "";
    bool set = true;
    set = set && curl_easy_setopt(handle, CURLOPT_URL, server.c_str()) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_REQUEST_TARGET, objectPath.c_str()) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_POST, 1L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length)) == CURLE_OK;
    set = set &&
          curl_easy_setopt(handle, CURLOPT_POSTFIELDS,
                           length > 0 ? static_cast<const void*>(body) : static_cast<const void*>(kNoBody)) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    // Each request has its connection to itself, closed when the request ends.
    set = set && curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK;
    // No signals: the client runs on worker threads of a program that has its own handlers.
    set = set && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ConnectTimeoutMs())) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(RequestTimeoutMs())) == CURLE_OK;
    // An announced length over the bound stops the transfer before the body is read;
    // CollectBody enforces the same bound on a body that does not announce its length.
    set = set &&
          curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxAnswerBytes)) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, CollectBody) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer) == CURLE_OK;
    if (!set) return std::string();

    // A transfer that fails midway (time-out, dropped connection, oversized body) gives no
    // answer at all: a partial body would only decode into a misleading tree.
    if (curl_easy_perform(handle) != CURLE_OK) {
        explicit_bzero(answer.body.data(), answer.body.size());
        return std::string();
    }
    long status = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) return std::string();
    return std::move(answer.body);
}
