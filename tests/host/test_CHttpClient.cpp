// Tests of CHttpClient against a loopback endpoint: the exact request bytes, the answers it reads and the ones it drops.
#include "CHttpClient.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "Base64Text.h"
#include "CJson.h"
#include "LoopbackHttpServer.h"
#include "RefusingPort.h"
#include "ScopedEnvironment.h"
#include "TextEncoding.h"

namespace {

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// The request the client must send, assembled from its parts: request line, Host, the user agent
// "http", the two form headers, the extra line when there is one, the length and the body.
std::string ExpectedRequest(const std::string& target, const std::string& host, const std::string& extraLine,
                            const std::string& body) {
    std::string r = "POST " + target + " HTTP/1.1\r\n";
    r += "Host: " + host + "\r\n";
    r += "User-Agent: http\r\n";
    r += "Content-Type: application/x-www-form-urlencoded\r\n";
    r += "Accept: */*\r\n";
    if (!extraLine.empty()) r += extraLine + "\r\n";
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return r + body;
}

// The UTF-8 bytes of a u8 literal, as a byte string.
std::string U8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

std::string HostOf(const LoopbackHttpServer& server) { return "127.0.0.1:" + std::to_string(server.Port()); }

// Each byte of 0x80 or more as %XX, the rest as it is: how a URL's non-ASCII characters travel.
std::string PercentEncodeHighBytes(const std::string& utf8) {
    std::string out;
    char hex[4];
    for (unsigned char c : utf8) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// The ANSI code page for one test, back to the environment's afterwards.
class ScopedCodePage {
public:
    explicit ScopedCodePage(const std::string& page) { SetAnsiCodePage(page); }
    ~ScopedCodePage() { SetAnsiCodePage(std::string()); }
};

const std::string kAck = "{\"ResultCode\":0}";

}  // namespace

// --- The request ------------------------------------------------------------------------------

TEST(CHttpClientRequest, PostJsonSendsExactlyTheHeadersAndTheMarkedBase64Body) {
    struct Case {
        const char* desc;
        const char* codePage;
        std::u16string extraHeader;
        std::string extraLine;  // as it must appear; empty: no line at all
        std::u16string field;
        std::optional<std::u16string> json;  // the request tree's text; nullopt: a null request
        std::string jsonUtf8;                // that text as UTF-8, the bytes under the Base64
    };
    const std::u16string longValue(1500, u'x');
    const Case cases[] = {
        {"a batch under field p", "UTF-8", u"User-Agent1:0c2lkPQ==", "User-Agent1:0c2lkPQ==", u"p", u"[{\"a\":1}]",
         "[{\"a\":1}]"},
        {"a null request sends only the field", "UTF-8", u"User-Agent1:0abc", "User-Agent1:0abc", u"p", std::nullopt,
         ""},
        {"no field name: the body starts with the marker", "UTF-8", u"User-Agent1:0abc", "User-Agent1:0abc", u"",
         u"{\"k\":\"v\"}", "{\"k\":\"v\"}"},
        {"no field and no request: an empty body", "UTF-8", u"User-Agent1:0abc", "User-Agent1:0abc", u"", std::nullopt,
         ""},
        {"no extra header: no extra line", "UTF-8", u"", "", u"p", u"{\"k\":\"v\"}", "{\"k\":\"v\"}"},
        {"a line break cannot add a header", "UTF-8", u"X-One:1\r\nX-Two:2", "X-One:1", u"p", u"{\"k\":\"v\"}",
         "{\"k\":\"v\"}"},
        {"Chinese text travels as UTF-8", "UTF-8", u"User-Agent1:0abc", "User-Agent1:0abc", u"p", u"{\"名\":\"中文\"}",
         U8(u8"{\"名\":\"中文\"}")},
        {"Chinese text travels as UTF-8 under CP936 too", "CP936", u"User-Agent1:0abc", "User-Agent1:0abc", u"p",
         u"{\"名\":\"中文\"}", U8(u8"{\"名\":\"中文\"}")},
        {"a long body goes whole, without line breaks", "UTF-8", u"User-Agent1:0abc", "User-Agent1:0abc", u"p",
         u"{\"k\":\"" + longValue + u"\"}", "{\"k\":\"" + std::string(1500, 'x') + "\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ScopedCodePage page(c.codePage);
        LoopbackHttpServer server;
        std::unique_ptr<CJson> request(c.json ? CJson::Parse(*c.json) : nullptr);
        if (request) {
            ASSERT_EQ(request->ToString(), *c.json) << "the tree must write back the case's text";
        }

        CHttpClient client(c.extraHeader);
        const std::unique_ptr<CJson> answer = client.PostJson(server.Url("/report/index"), request.get(), c.field);

        std::string body;
        if (!c.field.empty()) body = std::string(c.field.begin(), c.field.end()) + "=";
        if (c.json) body += "0" + EncodeBase64(c.jsonUtf8);
        const std::vector<std::string> requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], ExpectedRequest("/report/index", HostOf(server), c.extraLine, body));
        EXPECT_EQ(requests[0].find("Expect:"), std::string::npos);
        ASSERT_NE(answer, nullptr);
        EXPECT_NE(answer->FindChild(u"ResultCode", u"0"), nullptr);
    }
}

TEST(CHttpClientRequest, ABodyOverAMebibyteGoesAtOnceWithoutExpect) {
    // libcurl would ask for "100 Continue" before a body this large; the endpoint is not asked.
    const std::string form = "p=0" + std::string(1536 * 1024, 'Q');
    LoopbackHttpServer server;
    CHttpClient client(u"User-Agent1:0abc");
    const std::u16string answer = client.Post(server.Url("/report/index"), Widen(form));
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0] == ExpectedRequest("/report/index", HostOf(server), "User-Agent1:0abc", form))
        << requests[0].substr(0, requests[0].find("\r\n\r\n"));
    EXPECT_EQ(answer, Widen("0" + EncodeBase64(kAck)));
}

TEST(CHttpClientRequest, RequestLineCarriesThePathAsWrittenWithNonAsciiPercentEncoded) {
    struct Case {
        const char* desc;
        std::u16string pathAndQuery;  // what follows host and port in the URL
        std::string target;           // the request line's target
    };
    const Case cases[] = {
        {"the report path", u"/report/index", "/report/index"},
        {"a query stays", u"/report/index?a=1&b=2", "/report/index?a=1&b=2"},
        {"spaces and other ASCII are not encoded", u"/a b/c?d e+f%20", "/a b/c?d e+f%20"},
        {"non-ASCII travels as percent-encoded UTF-8", u"/报告/index?名=中",
         PercentEncodeHighBytes(U8(u8"/报告/index?名=中"))},
        {"no path asks for the root", u"", "/"},
        {"a bare query asks at the root", u"?x=1", "/?x=1"},
        {"a fragment is not sent", u"/report/index#top", "/report/index"},
        {"dot segments are not resolved", u"/a/../report/./index", "/a/../report/./index"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        LoopbackHttpServer server;
        CHttpClient client(u"User-Agent1:0abc");
        client.Post(server.Url("") + c.pathAndQuery, u"p=");
        const std::vector<std::string> requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], ExpectedRequest(c.target, HostOf(server), "User-Agent1:0abc", "p="));
    }
}

TEST(CHttpClientRequest, UserNameAndPasswordInTheUrlAreNotSent) {
    LoopbackHttpServer server;
    CHttpClient client(u"");
    client.Post(Widen("http://someone:secret@" + HostOf(server) + "/report/index"), u"p=");
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], ExpectedRequest("/report/index", HostOf(server), "", "p="));
}

// --- The answer -------------------------------------------------------------------------------

TEST(CHttpClientAnswer, PostJsonReadsOnlyAStatus200AnswerWithinTheBound) {
    using Answer = LoopbackHttpServer::Answer;
    const std::string ackBody = "0" + EncodeBase64(kAck);
    struct Case {
        const char* desc;
        Answer answer;
        bool tree;                         // whether PostJson gives a tree
        std::optional<std::u16string> rc;  // the tree's "ResultCode" value; nullopt: no such member
    };
    const Case cases[] = {
        {"acknowledged", LoopbackHttpServer::JsonReply(kAck), true, u"0"},
        {"refused with ResultCode 1", LoopbackHttpServer::JsonReply("{\"ResultCode\":1}"), true, u"1"},
        {"any marker character", LoopbackHttpServer::Reply(200, "X" + EncodeBase64(kAck)), true, u"0"},
        {"a body without a length, ended by closing", LoopbackHttpServer::Unannounced(ackBody), true, u"0"},
        {"status 404 with an acknowledging body", LoopbackHttpServer::Reply(404, ackBody), false, std::nullopt},
        {"status 500 with an acknowledging body", LoopbackHttpServer::Reply(500, ackBody), false, std::nullopt},
        {"a redirect is not followed", LoopbackHttpServer::Reply(302, ackBody, "Location: /report/index\r\n"), false,
         std::nullopt},
        {"an empty body", LoopbackHttpServer::Reply(200, ""), false, std::nullopt},
        {"a body that is not Base64 still gives a tree, without the member", LoopbackHttpServer::Reply(200, "<html>!"),
         true, std::nullopt},
        {"an announced body over the bound",
         LoopbackHttpServer::Reply(200, ackBody + std::string(CHttpClient::kMaxAnswerBytes, 'A')), false, std::nullopt},
        {"an unannounced body over the bound",
         LoopbackHttpServer::Unannounced(ackBody + std::string(CHttpClient::kMaxAnswerBytes, 'A')), false,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        LoopbackHttpServer server;
        server.QueueAnswer(c.answer);
        CJson request(u"", u"");
        CHttpClient client(u"User-Agent1:0abc");
        const std::unique_ptr<CJson> answer = client.PostJson(server.Url("/report/index"), &request, u"p");
        EXPECT_EQ(server.Requests().size(), 1u) << "exactly one request, whatever the answer";
        ASSERT_EQ(answer != nullptr, c.tree);
        if (!answer) continue;
        CJson* rc = answer->FindChild(u"ResultCode", u"");
        ASSERT_EQ(rc != nullptr, c.rc.has_value());
        if (rc) {
            EXPECT_EQ(rc->GetValue(), *c.rc);
        }
    }
}

namespace {

// An acknowledging answer body of exactly size bytes (size > 25): the marker, the Base64 of the
// acknowledgement followed by as many spaces as fit (the reader trims them), and line breaks for
// the last one to three bytes (the decoder skips them).
std::string PaddedAck(size_t size) {
    const size_t base64 = (size - 1) / 4 * 4 - ((size - 1) % 4 == 0 ? 4 : 0);
    const std::string json = kAck + std::string(base64 / 4 * 3 - kAck.size(), ' ');
    std::string body = "0" + EncodeBase64(json);
    body.append(size - body.size(), '\n');
    return body;
}

}  // namespace

TEST(CHttpClientAnswer, PostJsonReadsOnlyAnAnswerTheSizeOfAnAcknowledgement) {
    const size_t limit = CHttpClient::kMaxAcknowledgementBytes;
    ASSERT_EQ(PaddedAck(limit).size(), limit);
    struct Case {
        const char* desc;
        std::string body;
        bool acknowledged;
    };
    const Case cases[] = {
        {"the bare acknowledgement", "0" + EncodeBase64(kAck), true},
        {"padded to one byte under the bound", PaddedAck(limit - 1), true},
        {"padded to exactly the bound", PaddedAck(limit), true},
        {"padded to one byte over the bound", PaddedAck(limit + 1), false},
        {"padded to five bytes over the bound", PaddedAck(limit + 5), false},
        {"padded to twice the bound", PaddedAck(2 * limit), false},
        {"the acknowledgement followed by a long tail", "0" + EncodeBase64(kAck) + std::string(limit, 'A'), false},
    };
    for (const Case& c : cases) {
        for (const bool announced : {true, false}) {
            SCOPED_TRACE(std::string(c.desc) + (announced ? ", announced" : ", unannounced"));
            LoopbackHttpServer server;
            server.QueueAnswer(announced ? LoopbackHttpServer::Reply(200, c.body)
                                         : LoopbackHttpServer::Unannounced(c.body));
            CJson request(u"", u"x");
            CHttpClient client(u"User-Agent1:0abc");
            const std::unique_ptr<CJson> answer = client.PostJson(server.Url("/report/index"), &request, u"p");
            EXPECT_EQ(server.Requests().size(), 1u);
            if (!c.acknowledged) {
                EXPECT_FALSE(answer) << "no acknowledgement: the answer is longer than one";
                continue;
            }
            ASSERT_NE(answer, nullptr);
            EXPECT_NE(answer->FindChild(u"ResultCode", u"0"), nullptr);
        }
    }
    // Post itself still reads answers up to its own, larger bound.
    LoopbackHttpServer server;
    server.QueueAnswer(LoopbackHttpServer::Reply(200, PaddedAck(2 * limit)));
    CHttpClient client(u"");
    EXPECT_EQ(client.Post(server.Url("/report/index"), u"p="), Widen(PaddedAck(2 * limit)));
}

TEST(CHttpClientAnswer, ADeeplyNestedLargeAnswerIsRefusedUnparsed) {
    // Nested 999 deep around 100 KB: the reader would copy the rest of the text at every level.
    const int depth = 999;
    const std::string json = std::string(depth, '[') + "{\"ResultCode\":0}" + std::string(100 * 1024, ' ') +
                             std::string(depth, ']');
    const std::string body = "0" + EncodeBase64(json);
    ASSERT_LT(body.size(), static_cast<size_t>(CHttpClient::kMaxAnswerBytes));
    for (const bool announced : {true, false}) {
        SCOPED_TRACE(announced ? "announced" : "unannounced");
        LoopbackHttpServer server;
        server.QueueAnswer(announced ? LoopbackHttpServer::Reply(200, body) : LoopbackHttpServer::Unannounced(body));
        CJson request(u"", u"x");
        CHttpClient client(u"User-Agent1:0abc");
        EXPECT_FALSE(client.PostJson(server.Url("/report/index"), &request, u"p")) << "the answer must not be parsed";
    }
}

TEST(CHttpClientAnswer, PostReturnsABodyUpToTheBoundWholeAndDropsALargerOne) {
    struct Case {
        const char* desc;
        size_t size;
        bool announced;
        bool kept;
    };
    const Case cases[] = {
        {"a few chunks", 3000, true, true},
        {"exactly the bound, announced", CHttpClient::kMaxAnswerBytes, true, true},
        {"exactly the bound, unannounced", CHttpClient::kMaxAnswerBytes, false, true},
        {"one byte over, announced", CHttpClient::kMaxAnswerBytes + 1, true, false},
        {"one byte over, unannounced", CHttpClient::kMaxAnswerBytes + 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        std::string body(c.size, ' ');
        for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
        LoopbackHttpServer server;
        server.QueueAnswer(c.announced ? LoopbackHttpServer::Reply(200, body) : LoopbackHttpServer::Unannounced(body));
        CHttpClient client(u"");
        const std::u16string text = client.Post(server.Url("/report/index"), u"p=");
        EXPECT_EQ(text, c.kept ? Widen(body) : std::u16string());
    }
}

TEST(CHttpClientAnswer, PostDecodesTheBodyAsUtf8OrAnsi) {
    struct Case {
        const char* desc;
        const char* codePage;
        std::string body;
        std::u16string text;
    };
    const Case cases[] = {
        {"UTF-8 under a UTF-8 code page", "UTF-8", U8(u8"中文 ok"), u"中文 ok"},
        {"UTF-8 under CP936 stays UTF-8", "CP936", U8(u8"中文 ok"), u"中文 ok"},
        {"CP936 bytes under CP936", "CP936", "\xD6\xD0\xCE\xC4 ok", u"中文 ok"},
        {"the text ends at a zero byte", "UTF-8", std::string("abc\0def", 7), u"abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        ScopedCodePage page(c.codePage);
        LoopbackHttpServer server;
        server.QueueAnswer(LoopbackHttpServer::Reply(200, c.body));
        CHttpClient client(u"");
        EXPECT_EQ(client.Post(server.Url("/report/index"), u"p="), c.text);
    }
}

// --- Requests that cannot complete ------------------------------------------------------------

TEST(CHttpClientFailure, ARefusedConnectionGivesAnEmptyAnswer) {
    RefusingPort port;
    CHttpClient client(u"User-Agent1:0abc");
    EXPECT_EQ(client.Post(port.Url(), u"p="), u"");
    CJson request(u"", u"x");
    EXPECT_EQ(client.PostJson(port.Url(), &request, u"p"), nullptr);
}

TEST(CHttpClientFailure, AServerThatNeverAnswersGivesAnEmptyAnswerWithinTheShortenedBound) {
    ScopedEnvironment environment;
    environment.Set("RUVO_HTTP_TIMEOUT_MS", "300");
    LoopbackHttpServer server;
    server.SetDefaultAnswer(LoopbackHttpServer::Silent());
    CHttpClient client(u"User-Agent1:0abc");
    CJson request(u"", u"x");
    EXPECT_EQ(client.PostJson(server.Url("/report/index"), &request, u"p"), nullptr);
    EXPECT_EQ(client.Post(server.Url("/report/index"), u"p="), u"");
    // The requests did arrive: the server kept silent, and the client gave up on its own.
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(CHttpClientFailure, AnUnusableUrlSendsNothing) {
    LoopbackHttpServer server;
    const std::u16string port = Widen(std::to_string(server.Port()));
    const std::u16string urls[] = {
        u"",
        u"not a url",
        u"127.0.0.1:" + port + u"/report/index",
        u"ftp://127.0.0.1:" + port + u"/report/index",
        u"http:///report/index",
    };
    for (const std::u16string& url : urls) {
        SCOPED_TRACE(TextToUtf8(url));
        CHttpClient client(u"User-Agent1:0abc");
        EXPECT_EQ(client.Post(url, u"p="), u"");
    }
    EXPECT_TRUE(server.Requests().empty());
}

// --- Bounds -----------------------------------------------------------------------------------

TEST(CHttpClientBounds, TheEnvironmentCanOnlyShortenTheBounds) {
    struct Case {
        const char* desc;
        std::optional<std::string> value;
        bool shortened;  // whether the value is taken, else the default stays
    };
    const Case cases[] = {
        {"unset", std::nullopt, false},
        {"empty", std::string(""), false},
        {"shorter", std::string("250"), true},
        {"one millisecond", std::string("1"), true},
        {"longer", std::string("999999"), false},
        {"zero", std::string("0"), false},
        {"negative", std::string("-5"), false},
        {"not a number", std::string("soon"), false},
        {"trailing text", std::string("250ms"), false},
    };
    struct Bound {
        const char* variable;
        int (*read)();
        int defaultMs;
    };
    const Bound bounds[] = {
        {"RUVO_HTTP_CONNECT_TIMEOUT_MS", &CHttpClient::ConnectTimeoutMs, CHttpClient::kConnectTimeoutMs},
        {"RUVO_HTTP_TIMEOUT_MS", &CHttpClient::RequestTimeoutMs, CHttpClient::kRequestTimeoutMs},
    };
    for (const Bound& b : bounds) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(b.variable) + ": " + c.desc);
            ScopedEnvironment environment;
            environment.Set(b.variable, c.value);
            EXPECT_EQ(b.read(), c.shortened ? std::stoi(*c.value) : b.defaultMs);
        }
    }
}
