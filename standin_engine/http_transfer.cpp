// http:// and https:// sources through WinHTTP, the HTTP stack of every Windows machine (TLS,
// proxies and redirects included).
#include "standin_engine/real_transfer.h"

#include "base/network_handles.h"

#include <algorithm>
#include <cwctype>

namespace standin {

namespace {

constexpr wchar_t kUserAgent[] = L"MobileDrvDown-StandIn/1.0";

// A server that sends nothing for this long has failed the transfer. A stopped transfer's thread
// ends at its next read, so this also bounds how long a silent server can hold that thread.
constexpr int kConnectTimeoutMs = 20000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 30000;

bool EqualsIgnoringCase(const std::wstring& text, const wchar_t* other) {
    return _wcsicmp(text.c_str(), other) == 0;
}

// Loopback hosts are always reached directly, never through a proxy the machine names.
bool IsLoopbackHost(const std::wstring& host) {
    return EqualsIgnoringCase(host, L"localhost") || host.rfind(L"127.", 0) == 0 ||
           host == L"[::1]" || host == L"::1";
}

// The announced body length: Content-Length when the body is not sent in chunks; 0 when unknown.
uint64_t AnnouncedLength(HINTERNET request) {
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                            text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    uint64_t length = 0;
    const wchar_t* digit = text;
    for (; *digit >= L'0' && *digit <= L'9'; ++digit) {
        if (length > (UINT64_MAX - 9) / 10) {
            return 0;
        }
        length = length * 10 + static_cast<uint64_t>(*digit - L'0');
    }
    return digit != text && *digit == L'\0' ? length : 0;
}

class HttpSource final : public Source {
public:
    HttpSource(std::wstring host, INTERNET_PORT port, std::wstring path, bool secure)
        : host_(std::move(host)), port_(port), path_(std::move(path)), secure_(secure) {}

    int32_t Open(uint64_t& total, uint32_t& code) override {
        const DWORD access = IsLoopbackHost(host_) ? WINHTTP_ACCESS_TYPE_NO_PROXY
                                                   : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
        session_.reset(
            WinHttpOpen(kUserAgent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session_) {
            return kStateUnreachable;
        }
        WinHttpSetTimeouts(session_.get(), 0, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
        connect_.reset(WinHttpConnect(session_.get(), host_.c_str(), port_, 0));
        if (!connect_) {
            return kStateUnreachable;
        }
        request_.reset(WinHttpOpenRequest(connect_.get(), L"GET", path_.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          secure_ ? WINHTTP_FLAG_SECURE : 0));
        // Redirects are followed by WinHTTP itself; the answer read here is the last one.
        if (!request_ ||
            !WinHttpSendRequest(request_.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(request_.get(), nullptr)) {
            return kStateUnreachable;
        }
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(
                request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            return kStateUnreachable;
        }
        code = status;
        if (status < 200 || status > 299) {
            return kStateHttpError;
        }
        total = AnnouncedLength(request_.get());
        return 0;
    }

    bool Read(uint8_t* buffer, size_t size, size_t& got) override {
        // Asking first how much is there makes each read return as soon as bytes arrive, so a
        // slow server still shows progress and a stopped transfer is seen at the next arrival.
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request_.get(), &available)) {
            return false;
        }
        if (available == 0) {
            got = 0;
            return true;
        }
        const DWORD wanted = static_cast<DWORD>(std::min<size_t>(available, size));
        DWORD read = 0;
        if (!WinHttpReadData(request_.get(), buffer, wanted, &read)) {
            return false;
        }
        got = read;
        return true;
    }

private:
    const std::wstring host_;
    const INTERNET_PORT port_;
    const std::wstring path_;
    const bool secure_;
    // Closed in reverse order: request, connection, session.
    unique_hinternet session_;
    unique_hinternet connect_;
    unique_hinternet request_;
};

} // namespace

std::unique_ptr<Source> MakeHttpSource(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    // Lengths of -1 ask for pointers into `url` instead of copies.
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        return nullptr;
    }
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) {
        return nullptr;
    }
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path;
    if (parts.lpszUrlPath != nullptr) {
        path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    }
    if (parts.lpszExtraInfo != nullptr) {
        // The query goes to the server; a fragment never does.
        const std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        path += extra.substr(0, extra.find(L'#'));
    }
    if (path.empty() || path[0] != L'/') {
        path.insert(0, L"/");
    }
    return std::make_unique<HttpSource>(std::move(host), parts.nPort, std::move(path),
                                        parts.nScheme == INTERNET_SCHEME_HTTPS);
}

} // namespace standin
