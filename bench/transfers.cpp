#include "bench/transfers.h"

#include "base/network_handles.h"
#include "bench/clock.h"
#include "standin_engine/status_values.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

namespace bench {

double DriveEngine(const Bench& b, const std::wstring& target, DWORD pollMs, double& engineMs) {
    const double start = Now();
    PP_TASK_STATUS status{};
    if (b.ppInit2(L"MobileDrvDownBench", 0, 0)) {
        if (const uint32_t handle =
                b.ppStartTaskEx(b.url.c_str(), target.c_str(), 0, 0, 0, 0, 0, 0)) {
            for (;;) {
                Sleep(pollMs);
                status = PP_TASK_STATUS{};
                if (b.ppQueryTaskEx(handle, &status) && !IsRunningState(status.state)) {
                    break;
                }
            }
        }
    }
    b.ppClose();
    const double seconds = Now() - start;
    if (status.state != standin::kStateFinished) {
        throw std::runtime_error("the engine driven directly did not finish its transfer");
    }
    engineMs = status.values[standin::kValueElapsedMs];
    return seconds;
}

double BareWinHttpLoop(const Bench& b, const std::wstring& target, ReadPattern pattern) {
    const auto port = static_cast<INTERNET_PORT>(std::stoi(b.options.server.substr(17)));
    const std::wstring path = L"/" + b.options.file;
    std::vector<char> buffer(1 << 20);
    const double start = Now();
    {
        const unique_hfile file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        const unique_hinternet session(
            WinHttpOpen(L"MobileDrvDownBench/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        const unique_hinternet connection(
            session ? WinHttpConnect(session.get(), L"127.0.0.1", port, 0) : nullptr);
        const unique_hinternet request(
            connection ? WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                       : nullptr);
        DWORD code = 0;
        DWORD size = sizeof code;
        if (!file || !request ||
            !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr) ||
            !WinHttpQueryHeaders(
                request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX) ||
            code != 200) {
            throw std::runtime_error("the bare WinHTTP loop got no response");
        }
        const auto write = [&](DWORD bytes) {
            DWORD written = 0;
            return WriteFile(file.get(), buffer.data(), bytes, &written, nullptr) &&
                   written == bytes;
        };
        DWORD filled = 0;
        for (;;) {
            DWORD wanted = static_cast<DWORD>(buffer.size()) - filled;
            if (pattern == ReadPattern::AvailableFirst) {
                DWORD available = 0;
                if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) {
                    break;
                }
                wanted = std::min(wanted, available);
            }
            DWORD read = 0;
            if (!WinHttpReadData(request.get(), buffer.data() + filled, wanted, &read) ||
                read == 0) {
                break;
            }
            filled += read;
            if ((pattern == ReadPattern::WholeBuffer || filled == buffer.size()) &&
                !write(std::exchange(filled, 0))) {
                break;
            }
        }
        write(filled);
    }
    const double seconds = Now() - start;
    CheckAndRemove(target, b.size, "the bare WinHTTP loop");
    return seconds;
}

double CurlSeconds() {
    std::printf("@curl\n");
    std::fflush(stdout);
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
        throw std::runtime_error("no answer from the shell that runs curl");
    }
    const double seconds = std::strtod(answer, nullptr);
    if (!(seconds > 0)) {
        throw std::runtime_error(std::string("curl failed: ") + answer);
    }
    return seconds;
}

} // namespace bench
