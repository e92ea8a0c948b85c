#include "support/tls_front.h"

#include "support/child_process.h"
#include "support/test_tree.h"
#include "support/text.h"
#include "support/wait.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace drvtest {

namespace {

// Wine's own conversions between its Windows paths and Linux ones (kernel32, cdecl); the
// results come from the process heap.
using UnixNameFn = char*(__cdecl*)(const wchar_t*);
using DosNameFn = wchar_t*(__cdecl*)(const char*);

template <class Fn>
Fn WineExport(const char* name) {
    const auto fn = GetProc<Fn>(GetModuleHandleW(L"kernel32.dll"), name);
    if (fn == nullptr) {
        throw std::runtime_error("the HTTPS tests run under Wine only");
    }
    return fn;
}

std::wstring UnixPath(const std::wstring& windowsPath) {
    char* unix = WineExport<UnixNameFn>("wine_get_unix_file_name")(windowsPath.c_str());
    if (unix == nullptr) {
        throw std::runtime_error("no Linux path for a test path");
    }
    std::wstring wide = Wide(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return wide;
}

std::wstring DosPath(const char* unixPath) {
    wchar_t* dos = WineExport<DosNameFn>("wine_get_dos_file_name")(unixPath);
    if (dos == nullptr) {
        throw std::runtime_error(std::string("no Windows path for ") + unixPath);
    }
    std::wstring path(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

std::string ReadText(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring TlsDir() {
    return BuildDir() + L"\\tls\\";
}

} // namespace

void TrustTestCa() {
    const ChildResult trusted =
        RunChild(BuildDir() + L"\\trust_test_ca.exe", {TlsDir() + L"ca.cer"});
    if (trusted.exitCode != 0) {
        throw std::runtime_error("trust_test_ca failed: " + trusted.output);
    }
}

TlsFront::TlsFront(const HttpTestServer& upstream, std::vector<std::string> certificates)
    : certificates_(std::move(certificates)) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    work_ = std::wstring(temp) + L"drvdown-tls-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++);
    RemoveTree(work_);
    if (!CreateDirectoryW(work_.c_str(), nullptr)) {
        throw std::runtime_error("cannot make the TLS front's folder");
    }

    std::wstring command = L"python3 \"" DRVDOWN_TLS_FRONT_SCRIPT L"\" --upstream " +
                           std::to_wstring(upstream.Port()) + L" --work \"" + UnixPath(work_) +
                           L"\"";
    const std::wstring key = UnixPath(TlsDir() + L"server.key");
    for (const std::string& name : certificates_) {
        command += L" \"" + UnixPath(TlsDir() + Wide(name) + L".pem") + L"\" \"" + key + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(DosPath(DRVDOWN_PYTHON3).c_str(), command.data(), nullptr, nullptr, FALSE,
                        0, nullptr, nullptr, &startup, &process)) {
        throw std::runtime_error("cannot start scripts/tls_front.py");
    }
    // A Linux program comes without handles; were there any, they would be closed here.
    const unique_handle thread(process.hThread);
    const unique_handle child(process.hProcess);

    const std::wstring portsFile = work_ + L"\\ports";
    if (!PollUntil([&] { return Exists(portsFile); }, 60000)) {
        throw std::runtime_error("nginx did not start: " + ReadText(work_ + L"\\front.log") +
                                 ReadText(work_ + L"\\error.log"));
    }
    std::istringstream ports(ReadText(portsFile));
    for (unsigned port = 0; ports >> port;) {
        ports_.push_back(static_cast<uint16_t>(port));
    }
    if (ports_.size() != certificates_.size()) {
        throw std::runtime_error("the TLS front reported other ports than asked for");
    }
}

TlsFront::~TlsFront() {
    std::ofstream(std::filesystem::path(work_ + L"\\stop")).put('\n');
    PollUntil([&] { return !Exists(work_ + L"\\ports"); }, 10000);
    RemoveTree(work_);
}

uint16_t TlsFront::Port(std::string_view certificate) const {
    const auto found = std::find(certificates_.begin(), certificates_.end(), certificate);
    if (found == certificates_.end()) {
        throw std::invalid_argument("no listener for that certificate");
    }
    return ports_[static_cast<std::size_t>(found - certificates_.begin())];
}

std::string TlsFront::Address(std::string_view certificate, std::string_view path,
                              std::string_view host) const {
    return "https://" + std::string(host) + ":" + std::to_string(Port(certificate)) +
           std::string(path);
}

std::wstring TlsFront::Url(std::string_view certificate, std::string_view path,
                           std::string_view host) const {
    return Wide(Address(certificate, path, host));
}

} // namespace drvtest
