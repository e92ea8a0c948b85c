#include "standin_engine/status_values.h"
#include "bench/transfers.h"

#include "bench/probes.h"
#include "bench/win_handle.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

namespace {

constexpr DWORD kReadBytes = 1 << 20;

constexpr bool IsRunningState(int32_t state) {
    return state >= standin::kStateConnecting && state <= standin::kStateFinishing;
}

// The parts of an http:// URL that WinHTTP needs.
struct HttpTarget {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;
};

bool CrackUrl(const std::wstring& url, HttpTarget& target) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        parts.nScheme != INTERNET_SCHEME_HTTP || parts.lpszHostName == nullptr) {
        return false;
    }
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    return true;
}

bool WriteAll(HANDLE file, const uint8_t* data, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, size, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

TransferResult DriveEngineDirectly(const Engine& engine, const std::wstring& url,
                                   const std::wstring& target, DWORD pollMs) {
    TransferResult result;
    const double start = Now();
    if (engine.Init()) {
        if (const uint32_t handle = engine.StartTask(url, target); handle != 0) {
            PP_TASK_STATUS status{};
            for (;;) {
                Sleep(pollMs);
                if (!engine.Query(handle, status)) {
                    continue;
                }
                if (!IsRunningState(status.state)) {
                    result.ok = status.state == standin::kStateFinished;
                    result.finalState = status.state;
                    result.engineMs = status.values[standin::kValueElapsedMs];
                    result.bytes =
                        (static_cast<uint64_t>(status.values[standin::kValueReceivedHigh]) << 32) |
                        status.values[standin::kValueReceivedLow];
                    break;
                }
            }
        }
    }
    engine.Close();
    result.seconds = Now() - start;
    return result;
}

TransferResult BareWinHttpLoop(const std::wstring& url, const std::wstring* target,
                               ReadPattern pattern) {
    TransferResult result;
    HttpTarget parts;
    if (!CrackUrl(url, parts)) {
        return result;
    }
    std::vector<uint8_t> buffer(kReadBytes);
    const double start = Now();
    {
        OwnedHandle file;
        if (target != nullptr) {
            file = OwnedHandle(CreateFileW(target->c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.Valid()) {
                return result;
            }
        }
        const InternetHandle session(
            WinHttpOpen(L"MobileDrvDownBench/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        const InternetHandle connection(
            session ? WinHttpConnect(session.Get(), parts.host.c_str(), parts.port, 0) : nullptr);
        const InternetHandle request(
            connection ? WinHttpOpenRequest(connection.Get(), L"GET", parts.path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                       : nullptr);
        if (!request ||
            !WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(request.Get(), nullptr)) {
            return result;
        }
        DWORD code = 0;
        DWORD size = sizeof code;
        if (!WinHttpQueryHeaders(
                request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX) ||
            code != 200) {
            return result;
        }
        for (;;) {
            DWORD wanted = kReadBytes;
            if (pattern == ReadPattern::AvailableFirst) {
                DWORD available = 0;
                if (!WinHttpQueryDataAvailable(request.Get(), &available)) {
                    return result;
                }
                if (available == 0) {
                    break;
                }
                wanted = std::min(available, kReadBytes);
            }
            DWORD read = 0;
            if (!WinHttpReadData(request.Get(), buffer.data(), wanted, &read)) {
                return result;
            }
            if (read == 0) {
                break;
            }
            result.bytes += read;
            ++result.reads;
            if (file.Valid() && !WriteAll(file.Get(), buffer.data(), read)) {
                return result;
            }
        }
        result.ok = true;
    }
    // The handles and the file are closed inside the measured time, as the engine's are.
    result.seconds = Now() - start;
    return result;
}

std::optional<double> CurlSecondsFromShell() {
    std::fputs("@curl\n", stdout);
    std::fflush(stdout);
    std::string line;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        char c = 0;
        DWORD read = 0;
        if (!ReadFile(input, &c, 1, &read, nullptr) || read == 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            break;
        }
        line.push_back(c);
    }
    try {
        std::size_t used = 0;
        const double microseconds = std::stod(line, &used);
        if (used == 0 || microseconds <= 0) {
            return std::nullopt;
        }
        return microseconds / 1e6;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace bench
