#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "platform/Http.h"

namespace vantrel {

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr long kConnectSeconds = 5;
constexpr long kTotalSeconds = 10;

std::size_t collect(char* data, std::size_t size, std::size_t count, void* sink) {
    auto& body = *static_cast<std::string*>(sink);
    const std::size_t bytes = size * count;
    body.append(data, std::min(bytes, kMaxBody - std::min(kMaxBody, body.size())));
    return bytes;
}

bool isTlsFailure(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            return true;
        default:
            return false;
    }
}

class CurlClient : public HttpClient {
public:
    HttpAnswer postJson(const std::string& url, std::string_view body) override {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        HttpAnswer answer;
        CURL* curl = curl_easy_init();
        if (curl == nullptr) {
            answer.failure = HttpAnswer::Failure::NoAnswer;
            answer.error = "无法初始化 libcurl";
            return answer;
        }
        curl_slist* headers =
            curl_slist_append(nullptr, "Content-Type: application/json; charset=utf-8");
        char message[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTotalSeconds);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
        const CURLcode code = curl_easy_perform(curl);
        if (code == CURLE_OK) {
            long status = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            answer.status = static_cast<int>(status);
        } else {
            answer.failure =
                isTlsFailure(code) ? HttpAnswer::Failure::Tls : HttpAnswer::Failure::NoAnswer;
            answer.error = message[0] != '\0' ? message : curl_easy_strerror(code);
        }
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return answer;
    }
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::system() {
    return std::make_unique<CurlClient>();
}

}  // namespace vantrel
