// HTTPS for tests: nginx terminates TLS in front of a loopback HttpTestServer and passes every
// request on to it, so HTTPS cases use the same routes, bodies and faults as HTTP ones. The front
// is scripts/tls_front.py, the same one the main job puts in front of its package server.
//
// Certificates come from the build (bin\tls, made by tests/tls/make_tls_certs.py): one listener on
// 127.0.0.1 and a free port per certificate named. The test CA that issued "good" is trusted by
// TrustTestCa() in the current user's Root store of the Wine prefix (tests/tls/trust_test_ca.cpp):
// Wine's WinHTTP checks a server's chain against that store, which Wine makes of the prefix's
// registry and the Linux host's CA bundle, so the machine's own trust store never changes.
//
// Wine only: under Wine CreateProcess also starts Linux programs, but gives no handle for them,
// so the front is driven through files in a folder of its own (it writes "ports", and stops when
// "stop" appears or when the upstream server stops accepting connections).
#pragma once

#include "support/http_test_server.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drvtest {

// Adds the test CA to the Root store of this Wine prefix; throws when it cannot.
void TrustTestCa();

class TlsFront {
public:
    // Listening once constructed, one port per certificate (a file <name>.pem of bin\tls, with
    // bin\tls\server.key); throws when nginx does not start.
    TlsFront(const HttpTestServer& upstream, std::vector<std::string> certificates);
    // Stops nginx and waits until it is gone.
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    uint16_t Port(std::string_view certificate) const;
    // "https://<host>:<port of the certificate's listener><path>".
    std::string Address(std::string_view certificate, std::string_view path,
                        std::string_view host = "127.0.0.1") const;
    std::wstring Url(std::string_view certificate, std::string_view path,
                     std::string_view host = "127.0.0.1") const;

private:
    std::wstring work_;
    std::vector<std::string> certificates_;
    std::vector<uint16_t> ports_;
};

} // namespace drvtest
