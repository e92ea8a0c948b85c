#include "engine/verify.h"

#include "base/strings.h"
#include "engine/authenticode.h"
#include "engine/sha256.h"

#include <optional>

namespace {

// The digest of the whole file, read up to its end, or why there is none.
HashOutcome DigestFile(EngineFileReader& file, Sha256::Digest& digest) {
    Sha256 hash;
    if (const HashOutcome outcome = HashFileRange(file, hash, 0, kToFileEnd);
        outcome != HashOutcome::Hashed) {
        return outcome;
    }
    const std::optional<Sha256::Digest> finished = hash.Finish();
    if (!finished) {
        return HashOutcome::NoResources;
    }
    digest = *finished;
    return HashOutcome::Hashed;
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

unique_hfile OpenEngineFileForVerification(const wchar_t* path) {
    return unique_hfile(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

EngineFileCheck CheckEngineImage(EngineFileReader& file, const EngineTrust& trust) {
    if (!trust.fileDigests.empty()) {
        Sha256::Digest digest{};
        switch (DigestFile(file, digest)) {
        case HashOutcome::Hashed:
            break;
        case HashOutcome::ReadFailed:
            return EngineFileCheck::Unreadable;
        case HashOutcome::NoResources:
            return EngineFileCheck::NoResources;
        }
        if (Sha256::IsListed(digest, trust.fileDigests)) {
            return EngineFileCheck::Trusted;
        }
    }
    if (!trust.signerKeys.empty()) {
        switch (VerifyEngineSignature(file, trust.signerKeys)) {
        case SignatureVerdict::Trusted:
            return EngineFileCheck::Trusted;
        case SignatureVerdict::Unreadable:
            return EngineFileCheck::Unreadable;
        case SignatureVerdict::NoResources:
            return EngineFileCheck::NoResources;
        default:
            break;
        }
    }
    return EngineFileCheck::Untrusted;
}

EngineFileCheck CheckEngineFile(HANDLE file) {
    HandleFileReader reader(file);
    return CheckEngineImage(reader, BuiltInEngineTrust());
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
    ExitProcess(kExitEngineDamaged);
}
