#include "engine/verify.h"

#include "MobileDrvDown.h"
#include "engine/sha256.h"
#include "module/strings.h"

#include <array>
#include <cstring>

namespace {

// Lowercase hex digests of the engine files this build accepts, generated at build time.
constexpr const char* kTrustedEngineDigests[] = {
#include "engine_allowlist.inc"
    nullptr};

bool DigestFile(HANDLE file, Sha256::Digest& digest) {
    Sha256 hash;
    std::array<std::uint8_t, 64 * 1024> chunk;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        hash.Update(chunk.data(), read);
    }
    digest = hash.Finish();
    return true;
}

bool ProcessCanShowMessageBox() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    return station != nullptr &&
           GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

void WriteToStandardError(const wchar_t* text) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) {
        return;
    }
    char utf8[1024];
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (length > 1) {
        DWORD written = 0;
        WriteFile(error, utf8, static_cast<DWORD>(length - 1), &written, nullptr);
    }
}

} // namespace

UniqueHandle OpenEngineFileForVerification(const wchar_t* path) {
    return UniqueHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

EngineFileCheck CheckEngineFile(HANDLE file) {
    Sha256::Digest digest;
    if (!DigestFile(file, digest)) {
        return EngineFileCheck::Unreadable;
    }
    const Sha256::Hex hex = Sha256::ToHex(digest);
    for (const char* const* trusted = kTrustedEngineDigests; *trusted != nullptr; ++trusted) {
        if (std::strcmp(*trusted, hex.data()) == 0) {
            return EngineFileCheck::Trusted;
        }
    }
    return EngineFileCheck::Untrusted;
}

void ReportDamagedEngineAndExit(const wchar_t* path) {
    wchar_t message[768] = {};
    CopyWStr(message, 768, L"The download engine file is damaged and cannot be used:\r\n");
    AppendWStr(message, 768, path);
    AppendWStr(message, 768, L"\r\nReinstall the application to repair it.\r\n");
    OutputDebugStringW(message);
    WriteToStandardError(message);
    if (ProcessCanShowMessageBox()) {
        MessageBoxW(nullptr, message, L"Driver download", MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
    }
    ExitProcess(MOBILEDRV_EXIT_ENGINE_DAMAGED);
}
