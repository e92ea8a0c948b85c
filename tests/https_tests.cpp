// HTTPS downloads through the library: the stand-in engine's real transfers against nginx, which
// terminates TLS with the build's test certificates in front of the test's loopback HTTP server
// (support/tls_front.h). Each case runs as a task and through DownLoadFile.
#include "standin_engine/status_values.h"
#include "support/downloader_fixture.h"
#include "support/http_test_server.h"
#include "support/random_bytes.h"
#include "support/tls_front.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

using namespace drvtest;

namespace {

struct HttpsCase {
    const char* name;
    const char* listener; // the certificate of the TLS listener; null: the plain HTTP server
    const char* host;
    const char* path;
    int32_t state;       // the engine's final state
    uint32_t httpStatus; // and its value 6
};

constexpr int32_t kFinished = standin::kStateFinished;
constexpr int32_t kUnreachable = standin::kStateUnreachable;

// Upstream routes: /pkg.zip the body; /cut.zip announces a body and breaks off within it;
// /to-https/<certificate> redirects to /pkg.zip on the listener with that certificate, /to-http
// to /pkg.zip over plain HTTP. Each bad certificate differs from "good" in one property only
// (tests/tls/make_tls_certs.py), so it is refused for that property.
const HttpsCase kCases[] = {
    {"GoodCertificateFor127_0_0_1", "good", "127.0.0.1", "/pkg.zip", kFinished, 200},
    {"GoodCertificateForLocalhost", "good", "localhost", "/pkg.zip", kFinished, 200},
    {"Expired", "expired", "127.0.0.1", "/pkg.zip", kUnreachable, 0},
    {"WrongHostName", "wronghost", "127.0.0.1", "/pkg.zip", kUnreachable, 0},
    {"SelfSigned", "selfsigned", "127.0.0.1", "/pkg.zip", kUnreachable, 0},
    {"IssuedByAnUntrustedCa", "untrusted", "127.0.0.1", "/pkg.zip", kUnreachable, 0},
    {"HttpRedirectToHttps", nullptr, "127.0.0.1", "/to-https/good", kFinished, 200},
    {"HttpRedirectToAnExpiredCertificate", nullptr, "127.0.0.1", "/to-https/expired", kUnreachable,
     0},
    {"HttpsRedirectToHttpIsNotFollowed", "good", "127.0.0.1", "/to-http", kUnreachable, 0},
    {"HttpsBodyBreaksOff", "good", "127.0.0.1", "/cut.zip", standin::kStateInterrupted, 200},
};

void PrintTo(const HttpsCase& c, std::ostream* out) {
    *out << c.name;
}

const std::vector<std::string> kListeners = {"good", "expired", "wronghost", "selfsigned",
                                             "untrusted"};

class Https : public DownloaderFixture, public ::testing::WithParamInterface<HttpsCase> {
protected:
    static void SetUpTestSuite() { TrustTestCa(); }

    void SetUp() override {
        SetUpTree();
        Engine().UseRealTransfers();
        downloader = CreateReady();
        front = std::make_unique<TlsFront>(server, kListeners);
        server.Route("/pkg.zip", HttpResponse::Ok(body));
        HttpResponse cut = HttpResponse::Ok(body);
        cut.closeAfter = 300 * 1024;
        server.Route("/cut.zip", cut);
        server.Route("/to-http", HttpResponse::Redirect(server.Address("/pkg.zip")));
        for (const std::string& listener : kListeners) {
            server.Route("/to-https/" + listener,
                         HttpResponse::Redirect(front->Address(listener, "/pkg.zip")));
        }
    }
    std::wstring UrlOf(const HttpsCase& c) const {
        return c.listener != nullptr ? front->Url(c.listener, c.path, c.host) : server.Url(c.path);
    }
    // The state and HTTP status the engine reports for its `index`th transfer.
    std::pair<int32_t, uint32_t> EngineEnd(std::size_t index) {
        const uint32_t handle = Engine().Calls("PPStartTaskEx").at(index).handle;
        std::array<uint8_t, 1608> raw{};
        std::pair<int32_t, uint32_t> end{};
        if (GetProc<PPQueryBytesFn>(Engine().Module(), "PPQueryTaskEx")(handle, raw.data())) {
            std::memcpy(&end.first, raw.data() + 44, 4);
            std::memcpy(&end.second, raw.data() + 36, 4);
        }
        return end;
    }

    const std::string body = RandomBytes(1024 * 1024 + 77, 31);
    HttpTestServer server;
    std::unique_ptr<TlsFront> front;
    unique_downloader downloader;
};

} // namespace

TEST_P(Https, ATaskAndDownLoadFileEndAsTheCertificateAndTheBodyDecide) {
    const HttpsCase& c = GetParam();
    const bool succeeds = c.state == standin::kStateFinished;
    const std::wstring url = UrlOf(c);

    auto record = TaskRecord(L"task.zip", url, Out(L"task.zip"));
    ASSERT_EQ(downloader->AddTask(&record), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 60000));
    const auto finals = callback.For(L"task.zip");
    EXPECT_EQ(finals.back().kind, succeeds ? MOBILEDRV_NOTIFY_SUCCEEDED : MOBILEDRV_NOTIFY_FAILED);
    EXPECT_EQ(EngineEnd(0), std::pair(c.state, c.httpStatus)) << "the task's transfer";

    EXPECT_EQ(downLoadFile(url.c_str(), Out(L"blocking.zip").c_str()), succeeds ? 1 : 0);
    EXPECT_EQ(EngineEnd(1), std::pair(c.state, c.httpStatus)) << "DownLoadFile's transfer";

    if (succeeds) {
        EXPECT_TRUE(tree.ReadFile(L"out\\task.zip") == body);
        EXPECT_TRUE(tree.ReadFile(L"out\\blocking.zip") == body);
        EXPECT_EQ(tree.FilesIn(L"out").size(), 2u) << "no temporary file is left";
    } else {
        EXPECT_EQ(tree.FilesIn(L"out"), std::vector<std::wstring>{})
            << "nothing under the targets' names, no temporary files";
    }
    // A refused certificate or redirect ends the transfer before the file is asked for.
    if (c.state == kUnreachable) {
        EXPECT_EQ(server.Requests("/pkg.zip"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Https, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });
