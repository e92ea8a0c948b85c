// A loopback HTTP/1.1 server for tests, written with Winsock: it listens on 127.0.0.1 on a port
// the system picks, answers each connection on a thread of its own with one response, and closes
// the connection after it. Paths it was not told about get 404.
#pragma once

#include "base/network_handles.h"
#include "support/host_thread.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace drvtest {

struct HttpResponse {
    int status = 200;
    std::string body{};
    std::string location{};     // sent as the Location header when not empty
    bool announceLength = true; // Content-Length; without it the body ends with the connection
    // The connection is closed after this many bytes of the body, whatever was announced.
    std::size_t closeAfter = static_cast<std::size_t>(-1);
    std::size_t pieceBytes = 0; // nonzero: the body goes out in pieces of this size...
    DWORD pauseMs = 0;          // ...each after a pause of this long

    static HttpResponse Ok(std::string body) { return HttpResponse{.body = std::move(body)}; }
    static HttpResponse Redirect(std::string location) {
        return HttpResponse{.status = 302, .location = std::move(location)};
    }
    // The body in pieces with pauses, so a transfer of it takes about size / pieceBytes * pauseMs.
    static HttpResponse Slow(std::string body, std::size_t pieceBytes, DWORD pauseMs) {
        return HttpResponse{.body = std::move(body), .pieceBytes = pieceBytes, .pauseMs = pauseMs};
    }
};

class HttpTestServer {
public:
    // Listening once constructed; throws when it cannot.
    HttpTestServer();
    // Stops: ends every connection, waits for every thread.
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port><path>"; `path` starts with a slash.
    std::string Address(std::string_view path) const;
    std::wstring Url(std::string_view path) const;

    // What GET `path` answers from now on.
    void Route(const std::string& path, HttpResponse response);
    // How many requests for `path` arrived so far.
    std::size_t Requests(const std::string& path);

    // A loopback port nothing listens on (it was free a moment ago).
    static uint16_t UnusedPort();

private:
    void AcceptLoop();
    void Serve(SOCKET client);
    // Sends `data`, in pieces with pauses when the response asks for them; false when the
    // connection failed or the server is stopping.
    bool SendBody(SOCKET client, std::string_view data, const HttpResponse& response);
    bool Pause(DWORD ms);

    unique_socket listener_;
    uint16_t port_ = 0;
    unique_handle stopping_; // manual-reset event, set by the destructor
    HostThread acceptor_;

    std::mutex mutex_;
    std::map<std::string, HttpResponse> routes_;
    std::map<std::string, std::size_t> requests_;
    std::set<SOCKET> open_;
    std::vector<HostThread> connections_;
};

} // namespace drvtest
