#include "support/http_test_server.h"

#include "support/text.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

namespace drvtest {

namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;

const char* Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t BoundPort(SOCKET socket) {
    sockaddr_in address{};
    int size = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool SendAll(SOCKET socket, std::string_view data) {
    while (!data.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
        const int sent = send(socket, data.data(), chunk, 0);
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// The path of the request whose head `socket` delivers ("GET /path HTTP/1.1"); empty when the
// head never arrives whole.
std::string ReadRequestPath(SOCKET socket) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const int got = recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0 || head.size() > kMaxRequestHead) {
            return {};
        }
        head.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t start = head.find(' ');
    const std::size_t end = head.find(' ', start + 1);
    if (start == std::string::npos || end == std::string::npos) {
        return {};
    }
    return head.substr(start + 1, end - start - 1);
}

struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            throw std::runtime_error("WSAStartup failed");
        }
    }
};

} // namespace

HttpTestServer::HttpTestServer() {
    static WinsockUser winsock; // once per process; Winsock stays up until it ends
    listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in address = Loopback(0);
    if (!listener_ ||
        bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.get(), SOMAXCONN) != 0 || (port_ = BoundPort(listener_.get())) == 0) {
        throw std::runtime_error("the test server cannot listen on 127.0.0.1");
    }
    stopping_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    acceptor_ = HostThread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    SetEvent(stopping_.get());
    listener_.reset(); // ends the accept call
    acceptor_.Join();
    std::vector<HostThread> connections;
    {
        std::lock_guard lock(mutex_);
        // Ends every send and receive in progress; each thread closes its own socket.
        for (SOCKET client : open_) {
            shutdown(client, SD_BOTH);
        }
        connections.swap(connections_);
    }
    for (HostThread& connection : connections) {
        connection.Join();
    }
}

std::string HttpTestServer::Address(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::wstring HttpTestServer::Url(std::string_view path) const {
    return Wide(Address(path));
}

void HttpTestServer::Route(const std::string& path, HttpResponse response) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
}

std::size_t HttpTestServer::Requests(const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(path);
    return found == requests_.end() ? 0 : found->second;
}

uint16_t HttpTestServer::UnusedPort() {
    static WinsockUser winsock;
    const unique_socket probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in address = Loopback(0);
    uint16_t port = 0;
    if (probe &&
        bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        port = BoundPort(probe.get());
    }
    if (port == 0) {
        throw std::runtime_error("no free loopback port");
    }
    return port;
}

void HttpTestServer::AcceptLoop() {
    for (;;) {
        SOCKET client = accept(listener_.get(), nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            if (WaitForSingleObject(stopping_.get(), 0) == WAIT_OBJECT_0) {
                return;
            }
            continue;
        }
        std::lock_guard lock(mutex_);
        if (WaitForSingleObject(stopping_.get(), 0) == WAIT_OBJECT_0) {
            const unique_socket refused(client);
            return;
        }
        open_.insert(client);
        connections_.emplace_back([this, client] { Serve(client); });
    }
}

void HttpTestServer::Serve(SOCKET client) {
    const unique_socket owned(client); // closed when the connection is served
    const std::string path = ReadRequestPath(client);
    HttpResponse response{.status = 404, .body = "not found\n"};
    {
        std::lock_guard lock(mutex_);
        ++requests_[path];
        if (const auto found = routes_.find(path); found != routes_.end()) {
            response = found->second;
        }
    }
    if (!path.empty()) {
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                           Reason(response.status) + "\r\nConnection: close\r\n";
        if (response.announceLength) {
            head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
        }
        if (!response.location.empty()) {
            head += "Location: " + response.location + "\r\n";
        }
        head += "\r\n";
        const std::string_view body =
            std::string_view(response.body)
                .substr(0, std::min(response.closeAfter, response.body.size()));
        if (SendAll(client, head)) {
            SendBody(client, body, response);
        }
        // The client reads to the end before it sees the connection close.
        shutdown(client, SD_SEND);
    }
    std::lock_guard lock(mutex_);
    open_.erase(client);
}

bool HttpTestServer::SendBody(SOCKET client, std::string_view data, const HttpResponse& response) {
    if (response.pieceBytes == 0) {
        return SendAll(client, data);
    }
    while (!data.empty()) {
        if (!Pause(response.pauseMs)) {
            return false;
        }
        const std::size_t piece = std::min(response.pieceBytes, data.size());
        if (!SendAll(client, data.substr(0, piece))) {
            return false;
        }
        data.remove_prefix(piece);
    }
    return true;
}

bool HttpTestServer::Pause(DWORD ms) {
    return WaitForSingleObject(stopping_.get(), ms) == WAIT_TIMEOUT;
}

} // namespace drvtest
