#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vantrel {

// What a server said to one request.
struct HttpAnswer {
    enum class Failure { None, NoAnswer, Tls };
    Failure failure = Failure::None;
    std::string error;  // why there was no answer (the OS's or library's words)
    int status = 0;     // the HTTP status, when the server answered
    std::string body;   // the answer's body, cut at 64 KiB
};

// Posts to web addresses. Certificates are always checked; every request gives up after a
// few seconds, so a dead address never holds up its caller for long.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Posts `body` as "application/json; charset=utf-8" to `url` (http:// or https://).
    // Never throws for a network failure: the answer says what went wrong.
    virtual HttpAnswer postJson(const std::string& url, std::string_view body) = 0;

    // libcurl on Linux, WinHTTP on Windows.
    static std::unique_ptr<HttpClient> system();
};

}  // namespace vantrel
