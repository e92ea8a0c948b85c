// What checking the engine adds to Init, for a small signed engine and one of about 8 MiB: the
// signature check (as a library that trusts maker A's key does it: open, read through the held
// handle, verify) and, for comparison, the digest check of a library that lists the file.
//   bench_verify_cost.exe [repetitions]
// Reads the signed test engines from signing\ beside the program (made by the test build).
#include "engine/sha256.h"
#include "engine/verify.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::string ReadText(const std::wstring& path) {
    std::ifstream in(path.c_str());
    std::string text;
    in >> text;
    return text;
}

// Median and fastest time of `runs` checks of `path` against `trust`, in milliseconds; negative
// when a check did not trust the file.
std::pair<double, double> Time(const std::wstring& path, const EngineTrust& trust, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto started = std::chrono::steady_clock::now();
        unique_hfile file = OpenEngineFileForVerification(path.c_str());
        HandleFileReader reader(file.get());
        const EngineFileCheck check = CheckEngineImage(reader, trust);
        const auto ended = std::chrono::steady_clock::now();
        if (!file || check != EngineFileCheck::Trusted) {
            return {-1, -1};
        }
        times.push_back(std::chrono::duration<double, std::milli>(ended - started).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.front()};
}

std::string DigestOf(const std::wstring& path) {
    unique_hfile file = OpenEngineFileForVerification(path.c_str());
    HandleFileReader reader(file.get());
    Sha256 hash;
    std::vector<std::uint8_t> chunk(1 << 16);
    for (std::uint64_t at = 0;;) {
        const std::optional<std::size_t> read = reader.ReadAt(at, chunk);
        if (!read || *read == 0) {
            break;
        }
        hash.Update(chunk.data(), *read);
        at += *read;
    }
    const std::optional<Sha256::Digest> digest = hash.Finish();
    return digest ? Sha256::ToHex(*digest).data() : "";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 15;
    const std::wstring signing = ProgramDir() + L"\\signing\\";
    const std::string pin = ReadText(signing + L"makerA.spki.sha256");
    if (pin.size() != 64) {
        std::fprintf(stderr, "no signing\\makerA.spki.sha256: build the test tree first\n");
        return 2;
    }
    const char* pins[] = {pin.c_str()};

    std::printf("engine check in Init (%s), median (fastest) of %d runs:\n",
                sizeof(void*) == 8 ? "x64" : "x86", runs);
    std::printf("  %-26s %9s  %-22s %s\n", "engine file", "size", "signature (pinned key)",
                "digest (listed file)");
    int status = 0;
    for (const wchar_t* name : {L"Tolvek_signedA.dll", L"Tolvek_large_signedA.dll"}) {
        const std::wstring path = signing + name;
        WIN32_FILE_ATTRIBUTE_DATA attributes{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
            std::fprintf(stderr, "missing %ls\n", path.c_str());
            return 2;
        }
        const double mib = attributes.nFileSizeLow / (1024.0 * 1024.0);
        const std::string digest = DigestOf(path);
        const char* digests[] = {digest.c_str()};
        const auto signature = Time(path, EngineTrust{{}, pins}, runs);
        const auto listed = Time(path, EngineTrust{digests, {}}, runs);
        if (signature.first < 0 || listed.first < 0) {
            std::fprintf(stderr, "%ls was not trusted\n", name);
            status = 1;
        }
        char signatureText[32], listedText[32];
        std::snprintf(signatureText, sizeof signatureText, "%.1f ms (%.1f)", signature.first,
                      signature.second);
        std::snprintf(listedText, sizeof listedText, "%.1f ms (%.1f)", listed.first, listed.second);
        std::printf("  %-26ls %5.2f MiB  %-22s %s\n", name, mib, signatureText, listedText);
    }
    return status;
}
