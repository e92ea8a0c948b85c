#include "engine/authenticode.h"

#include "base/crypt_handles.h"
#include "base/heap.h"
#include "engine/pe_layout.h"
#include "engine/sha256.h"
#include "engine/signed_data.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using Bytes = HeapArray<std::uint8_t>;

// Each step below returns SignatureVerdict::Trusted when its part of the file holds, and otherwise
// the verdict that refuses the file.

// Reads the headers and finds the certificate table through them.
SignatureVerdict ReadLayout(EngineFileReader& file, PeSignatureLayout& layout) {
    const std::uint64_t size = file.Size();
    // A file shorter than a DOS header is no PE image, unless it is shorter than its size says.
    std::array<std::uint8_t, 64> dos{};
    const std::optional<std::size_t> got = file.ReadAt(0, dos);
    if (!got) {
        return SignatureVerdict::Unreadable;
    }
    if (*got < dos.size() || size < dos.size()) {
        return *got == std::min<std::uint64_t>(size, dos.size()) ? SignatureVerdict::NotSigned
                                                                 : SignatureVerdict::Unreadable;
    }
    Bytes head;
    if (!head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kPeHeadersMax)))) {
        return SignatureVerdict::NoResources;
    }
    if (!file.ReadExactly(0, std::span(head.data(), head.size()))) {
        return SignatureVerdict::Unreadable;
    }
    switch (ParsePeLayout(DerBytes(head.data(), head.size()), size, layout)) {
    case PeLayoutResult::Signed:
        return SignatureVerdict::Trusted;
    case PeLayoutResult::NotSigned:
        return SignatureVerdict::NotSigned;
    case PeLayoutResult::BadLayout:
        break;
    }
    return SignatureVerdict::BadLayout;
}

// The verdict on a call of the system's cryptography that failed: one that failed for want of
// memory says nothing about the file.
SignatureVerdict Refused(SignatureVerdict verdict) {
    switch (GetLastError()) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case static_cast<DWORD>(E_OUTOFMEMORY):
    case static_cast<DWORD>(NTE_NO_MEMORY):
        return SignatureVerdict::NoResources;
    default:
        return verdict;
    }
}

bool SameOid(const char* oid, const char* expected) {
    return oid != nullptr && std::strcmp(oid, expected) == 0;
}

// Trusted when the certificate is for code signing.
SignatureVerdict CodeSigningUsage(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr,
                                 &size)) {
        return Refused(SignatureVerdict::NotCodeSigning);
    }
    Bytes buffer;
    if (size < sizeof(CERT_ENHKEY_USAGE)) {
        return SignatureVerdict::NotCodeSigning;
    }
    if (!buffer.resize(size)) {
        return SignatureVerdict::NoResources;
    }
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
        return Refused(SignatureVerdict::NotCodeSigning);
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (SameOid(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING)) {
            return SignatureVerdict::Trusted;
        }
    }
    return SignatureVerdict::NotCodeSigning;
}

std::optional<Sha256::Digest> DigestOf(DerBytes bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
}

// Trusted when the signer's signature over its signed attributes verifies with the key of
// `certificate`. The message is DER throughout (the parser saw to it), so the system reads the
// same signer, attributes and content that the parser did.
SignatureVerdict VerifySignerSignature(DerBytes message, PCCERT_CONTEXT certificate) {
    unique_crypt_msg decoded(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!decoded ||
        !CryptMsgUpdate(decoded.get(), message.data(), static_cast<DWORD>(message.size()), TRUE)) {
        return Refused(SignatureVerdict::BadMessage);
    }
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify{};
    verify.cbSize = sizeof verify;
    verify.dwSignerIndex = 0;
    verify.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    verify.pvSigner = const_cast<CERT_CONTEXT*>(certificate);
    if (!CryptMsgControl(decoded.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &verify)) {
        return Refused(SignatureVerdict::BadSignature);
    }
    return SignatureVerdict::Trusted;
}

// Checks the parsed signature: the signed messageDigest is that of the content, the signer's
// signature verifies, its certificate is for code signing, and its key is pinned.
SignatureVerdict VerifySignedData(const AuthenticodeSignedData& parsed,
                                  std::span<const char* const> pins) {
    const std::optional<Sha256::Digest> contentDigest = DigestOf(parsed.content);
    if (!contentDigest) {
        return SignatureVerdict::NoResources;
    }
    if (!std::ranges::equal(*contentDigest, parsed.messageDigest)) {
        return SignatureVerdict::ContentMismatch;
    }
    unique_cert_context certificate(
        CertCreateCertificateContext(X509_ASN_ENCODING, parsed.signerCertificate.data(),
                                     static_cast<DWORD>(parsed.signerCertificate.size())));
    if (!certificate) {
        return Refused(SignatureVerdict::BadMessage);
    }
    if (const SignatureVerdict signature = VerifySignerSignature(parsed.message, certificate.get());
        signature != SignatureVerdict::Trusted) {
        return signature;
    }
    if (const SignatureVerdict usage = CodeSigningUsage(certificate.get());
        usage != SignatureVerdict::Trusted) {
        return usage;
    }
    const std::optional<Sha256::Digest> key = DigestOf(parsed.signerPublicKey);
    if (!key) {
        return SignatureVerdict::NoResources;
    }
    return Sha256::IsListed(*key, pins) ? SignatureVerdict::Trusted
                                        : SignatureVerdict::SignerNotPinned;
}

// The PE image's Authenticode digest over the layout's digest ranges; Trusted when it is
// `digest`.
SignatureVerdict CompareImageDigest(EngineFileReader& file, const PeSignatureLayout& layout,
                                    DerBytes digest) {
    Sha256 hash;
    for (const FileRange& range : layout.DigestRanges()) {
        switch (HashFileRange(file, hash, range.begin, range.end)) {
        case HashOutcome::Hashed:
            break;
        case HashOutcome::ReadFailed:
            return SignatureVerdict::Unreadable;
        case HashOutcome::NoResources:
            return SignatureVerdict::NoResources;
        }
    }
    const std::optional<Sha256::Digest> image = hash.Finish();
    if (!image) {
        return SignatureVerdict::NoResources;
    }
    return std::ranges::equal(*image, digest) ? SignatureVerdict::Trusted
                                              : SignatureVerdict::ImageMismatch;
}

} // namespace

SignatureVerdict VerifyEngineSignature(EngineFileReader& file,
                                       std::span<const char* const> pinnedSignerKeys) {
    PeSignatureLayout layout;
    if (const SignatureVerdict verdict = ReadLayout(file, layout);
        verdict != SignatureVerdict::Trusted) {
        return verdict;
    }
    Bytes table;
    if (!table.resize(layout.tableSize)) {
        return SignatureVerdict::NoResources;
    }
    if (!file.ReadExactly(layout.table, std::span(table.data(), table.size()))) {
        return SignatureVerdict::Unreadable;
    }
    AuthenticodeSignedData parsed;
    switch (ParseCertificateTable(DerBytes(table.data(), table.size()), parsed)) {
    case SignedDataResult::Parsed:
        break;
    case SignedDataResult::BadLayout:
        return SignatureVerdict::BadLayout;
    case SignedDataResult::BadMessage:
        return SignatureVerdict::BadMessage;
    }
    if (const SignatureVerdict verdict = VerifySignedData(parsed, pinnedSignerKeys);
        verdict != SignatureVerdict::Trusted) {
        return verdict;
    }
    // Last, the costly part: the digest of the whole image.
    return CompareImageDigest(file, layout, parsed.imageDigest);
}
