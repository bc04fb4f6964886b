#include <windows.h>

#include <winhttp.h>

#include <memory>
#include <string>

#include "platform/Http.h"

namespace vantrel {

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kConnectMs = 5000;
constexpr int kTotalMs = 10000;

struct CloseInternet {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, CloseInternet>;

std::wstring wide(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

HttpAnswer failed(DWORD code) {
    HttpAnswer answer;
    const bool tls =
        code == ERROR_WINHTTP_SECURE_FAILURE || code == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
        code == ERROR_WINHTTP_SECURE_INVALID_CERT || code == ERROR_WINHTTP_SECURE_CERT_REV_FAILED ||
        code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID ||
        code == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID || code == ERROR_WINHTTP_SECURE_INVALID_CA;
    answer.failure = tls ? HttpAnswer::Failure::Tls : HttpAnswer::Failure::NoAnswer;
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT:
            answer.error = "连接超时";
            break;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            answer.error = "无法解析服务器名称";
            break;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            answer.error = "无法连接到服务器";
            break;
        case ERROR_WINHTTP_CONNECTION_ERROR:
            answer.error = "连接被服务器断开";
            break;
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            answer.error = "网址无效";
            break;
        default:
            answer.error = (tls ? "证书或安全连接无效（WinHTTP 错误 " : "WinHTTP 错误 ") +
                           std::to_string(code) + (tls ? "）" : "");
            break;
    }
    return answer;
}

class WinHttpClient : public HttpClient {
public:
    HttpAnswer postJson(const std::string& url, std::string_view body) override {
        const std::wstring address = wide(url);
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (!WinHttpCrackUrl(address.c_str(), 0, 0, &parts)) {
            return failed(GetLastError());
        }
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                                  std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

        const Internet session(WinHttpOpen(L"Vantrel", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            return failed(GetLastError());
        }
        WinHttpSetTimeouts(session.get(), kConnectMs, kConnectMs, kTotalMs, kTotalMs);
        const Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
        if (!connection) {
            return failed(GetLastError());
        }
        // Certificate checks stay at WinHTTP's default: on, never relaxed.
        const Internet request(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request) {
            return failed(GetLastError());
        }
        const wchar_t* headers = L"Content-Type: application/json; charset=utf-8\r\n";
        if (!WinHttpSendRequest(request.get(), headers, static_cast<DWORD>(-1L),
                                const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                                static_cast<DWORD>(body.size()), 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr)) {
            return failed(GetLastError());
        }
        HttpAnswer answer;
        DWORD status = 0;
        DWORD size = sizeof status;
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
        answer.status = static_cast<int>(status);
        char buffer[4096];
        DWORD read = 0;
        while (answer.body.size() < kMaxBody &&
               WinHttpReadData(request.get(), buffer, sizeof buffer, &read) && read > 0) {
            answer.body.append(buffer, read);
        }
        if (answer.body.size() > kMaxBody) {
            answer.body.resize(kMaxBody);
        }
        return answer;
    }
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::system() {
    return std::make_unique<WinHttpClient>();
}

}  // namespace vantrel
