#include "engine/authenticode.h"

#include "base/crypt_handles.h"
#include "base/heap.h"
#include "engine/der.h"
#include "engine/sha256.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Content octets of the object identifiers read with the library's own DER reader.
constexpr std::uint8_t kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr std::uint8_t kOidSpcIndirectData[] = {0x2b, 0x06, 0x01, 0x04, 0x01,
                                                0x82, 0x37, 0x02, 0x01, 0x04};
constexpr std::uint8_t kOidSpcPeImageData[] = {0x2b, 0x06, 0x01, 0x04, 0x01,
                                               0x82, 0x37, 0x02, 0x01, 0x0f};
// The same identifiers as crypt32 names them.
constexpr char kSpcIndirectDataObjId[] = "1.3.6.1.4.1.311.2.1.4";

// Signature algorithms a signer may name; the system verifies the signature itself.
constexpr const char* kSignatureAlgorithms[] = {szOID_RSA_RSA, szOID_RSA_SHA256RSA,
                                                szOID_ECDSA_SHA256};

// A certificate table larger than this is not an engine's signature.
constexpr std::uint32_t kMaxCertificateTable = 1u << 20;
constexpr std::size_t kDigestSize = 32;

// PE header fields (offsets within their headers).
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kLfanewOffset = 0x3c;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSizeOfOptionalHeaderOffset = 16; // in the file header
constexpr std::size_t kChecksumOffset = 64;             // in the optional header, either kind
constexpr std::size_t kSecurityDirectoryIndex = 4;
constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Each step below returns SignatureVerdict::Trusted when its part of the file holds, and otherwise
// the verdict that refuses the file.

// Where the signature lies in the file and which bytes the image digest leaves out.
struct SignatureLayout {
    std::uint64_t checksum = 0;      // the CheckSum field, 4 bytes
    std::uint64_t securityEntry = 0; // the Security directory entry, 8 bytes
    std::uint64_t table = 0;         // the certificate table, up to the end of the file
    std::uint32_t tableSize = 0;
};

// Finds the certificate table through the PE headers.
SignatureVerdict ReadLayout(EngineFileReader& file, SignatureLayout& layout) {
    const std::uint64_t size = file.Size();
    std::array<std::uint8_t, kDosHeaderSize> dos{};
    const std::optional<std::size_t> got = file.ReadAt(0, dos);
    if (!got) {
        return SignatureVerdict::Unreadable;
    }
    if (*got < dos.size() || size < dos.size()) {
        return *got == std::min<std::uint64_t>(size, dos.size()) ? SignatureVerdict::NotSigned
                                                                 : SignatureVerdict::Unreadable;
    }
    if (dos[0] != 'M' || dos[1] != 'Z') {
        return SignatureVerdict::NotSigned;
    }

    // "PE\0\0", the file header, and the optional header up to the Security directory entry.
    const std::uint64_t nt = U32(&dos[kLfanewOffset]);
    std::array<std::uint8_t, 4 + kFileHeaderSize + 112 + 8 * (kSecurityDirectoryIndex + 1)>
        headers{};
    if (nt >= size || size - nt < 4 + kFileHeaderSize + 2) {
        return SignatureVerdict::BadLayout;
    }
    const std::size_t available = static_cast<std::size_t>(
        std::min<std::uint64_t>(size - nt, static_cast<std::uint64_t>(headers.size())));
    if (!file.ReadExactly(nt, std::span(headers).first(available))) {
        return SignatureVerdict::Unreadable;
    }
    if (std::memcmp(headers.data(), "PE\0\0", 4) != 0) {
        return SignatureVerdict::BadLayout;
    }
    const std::size_t optional = 4 + kFileHeaderSize;
    const std::size_t optionalSize = U16(&headers[4 + kSizeOfOptionalHeaderOffset]);
    std::size_t directories = 0;
    switch (U16(&headers[optional])) {
    case IMAGE_NT_OPTIONAL_HDR32_MAGIC:
        directories = 96;
        break;
    case IMAGE_NT_OPTIONAL_HDR64_MAGIC:
        directories = 112;
        break;
    default:
        return SignatureVerdict::BadLayout;
    }
    const std::size_t entry = directories + 8 * kSecurityDirectoryIndex;
    if (optionalSize < entry + 8 || available < optional + entry + 8 ||
        U32(&headers[optional + directories - 4]) <= kSecurityDirectoryIndex) {
        return SignatureVerdict::BadLayout;
    }

    layout.checksum = nt + optional + kChecksumOffset;
    layout.securityEntry = nt + optional + entry;
    layout.table = U32(&headers[optional + entry]);
    layout.tableSize = U32(&headers[optional + entry + 4]);
    if (layout.table == 0 && layout.tableSize == 0) {
        return SignatureVerdict::NotSigned;
    }
    // The table is 8-byte aligned, after the headers, and ends the file: nothing follows it that
    // the image digest would not cover.
    if (layout.table % 8 != 0 || layout.table < layout.securityEntry + 8 || layout.tableSize < 8 ||
        layout.tableSize > kMaxCertificateTable || layout.table + layout.tableSize != size) {
        return SignatureVerdict::BadLayout;
    }
    return SignatureVerdict::Trusted;
}

// The one PKCS#7 signature in the certificate table: a single WIN_CERTIFICATE entry of the signed
// data kind, padded with zeros to the 8-byte end of the table.
SignatureVerdict FindSignedData(std::span<const std::uint8_t> table, DerBytes& signedData) {
    const std::uint32_t length = U32(table.data());
    if (U16(&table[4]) != kWinCertRevision2 || U16(&table[6]) != kWinCertTypePkcsSignedData ||
        length <= 8 || length > table.size() || (length + 7u) / 8u * 8u != table.size()) {
        return SignatureVerdict::BadLayout;
    }
    DerElement message;
    if (!DerReader(table.subspan(8, length - 8)).Next(kDerSequence, message)) {
        return SignatureVerdict::BadMessage;
    }
    const std::span<const std::uint8_t> padding = table.subspan(8 + message.whole.size());
    if (padding.size() >= 8 ||
        !std::ranges::all_of(padding, [](std::uint8_t b) { return b == 0; })) {
        return SignatureVerdict::BadLayout;
    }
    signedData = message.whole;
    return SignatureVerdict::Trusted;
}

using Bytes = HeapArray<std::uint8_t>;

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

// A parameter of the decoded message, as bytes and one more zero byte (so text parameters end);
// false when the call failed (or the memory for it could not be had, as ERROR_NOT_ENOUGH_MEMORY).
bool MessageParam(HCRYPTMSG message, DWORD type, Bytes& value) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, 0, nullptr, &size)) {
        return false;
    }
    if (!value.resize(std::size_t{size} + 1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return CryptMsgGetParam(message, type, 0, value.data(), &size) != FALSE;
}

std::optional<DWORD> MessageDword(HCRYPTMSG message, DWORD type) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!CryptMsgGetParam(message, type, 0, &value, &size) || size != sizeof value) {
        return std::nullopt;
    }
    return value;
}

bool SameOid(const char* oid, const char* expected) {
    return oid != nullptr && std::strcmp(oid, expected) == 0;
}

// SHA-256 takes no parameters: they are absent or NULL.
bool AbsentOrNull(const CRYPT_OBJID_BLOB& parameters) {
    constexpr std::uint8_t kNull[] = {kDerNull, 0x00};
    return parameters.cbData == 0 ||
           std::ranges::equal(DerBytes(parameters.pbData, parameters.cbData), kNull);
}

// The single value of the signed attribute `oid`; empty when it is missing, repeated or has other
// than one value.
std::optional<DerBytes> SingleAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    std::optional<DerBytes> found;
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (!SameOid(attribute.pszObjId, oid)) {
            continue;
        }
        if (found || attribute.cValue != 1 || attribute.rgValue == nullptr) {
            return std::nullopt;
        }
        found = DerBytes(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
    }
    return found;
}

// Whether the version of the SignedData in the ContentInfo is 1 (the system does not report it):
//   ContentInfo { OID, [0] EXPLICIT SignedData { INTEGER version, ... } }
bool IsSignedDataVersion1(DerBytes contentInfo) {
    constexpr std::uint8_t kVersion1[] = {0x01};
    DerElement outer, signedData, version;
    DerReader info(DerSingle(contentInfo, kDerSequence, outer) ? outer.value : DerBytes());
    return info.SkipIf(kDerOid) && info.Next(DerContext(0), signedData) &&
           DerSingle(signedData.value, kDerSequence, signedData) &&
           DerReader(signedData.value).Next(kDerInteger, version) &&
           std::ranges::equal(version.value, kVersion1);
}

// The image digest inside SpcIndirectDataContent:
//   SEQUENCE { SpcAttributeTypeAndOptionalValue { OID SPC_PE_IMAGE_DATAOBJ, ... },
//              DigestInfo { AlgorithmIdentifier { OID sha256 [, NULL] }, OCTET STRING } }
std::optional<DerBytes> SignedImageDigest(DerBytes indirectDataContent) {
    DerReader content(indirectDataContent);
    DerElement data, digestInfo;
    if (!content.Next(kDerSequence, data) || !content.Next(kDerSequence, digestInfo) ||
        !content.AtEnd()) {
        return std::nullopt;
    }
    DerElement type;
    if (!DerReader(data.value).Next(kDerOid, type) || !DerIsOid(type, kOidSpcPeImageData)) {
        return std::nullopt;
    }
    DerReader info(digestInfo.value);
    DerElement algorithm, digest;
    if (!info.Next(kDerSequence, algorithm) || !info.Next(kDerOctetString, digest) ||
        !info.AtEnd() || digest.value.size() != kDigestSize) {
        return std::nullopt;
    }
    DerReader identifier(algorithm.value);
    DerElement oid;
    if (!identifier.Next(kDerOid, oid) || !DerIsOid(oid, kOidSha256)) {
        return std::nullopt;
    }
    identifier.SkipIf(kDerNull);
    if (!identifier.AtEnd()) {
        return std::nullopt;
    }
    return digest.value;
}

// The DER SubjectPublicKeyInfo inside an encoded certificate:
//   Certificate { TBSCertificate { [0] version, serial, signature, issuer, validity, subject,
//                                  subjectPublicKeyInfo, ... }, ... }
std::optional<DerBytes> SubjectPublicKeyInfo(DerBytes certificate) {
    DerElement outer, tbs;
    if (!DerReader(certificate).Next(kDerSequence, outer) ||
        !DerReader(outer.value).Next(kDerSequence, tbs)) {
        return std::nullopt;
    }
    DerReader fields(tbs.value);
    fields.SkipIf(DerContext(0));
    DerElement spki;
    if (!fields.SkipIf(kDerInteger) || !fields.SkipIf(kDerSequence) ||
        !fields.SkipIf(kDerSequence) || !fields.SkipIf(kDerSequence) ||
        !fields.SkipIf(kDerSequence) || !fields.Next(kDerSequence, spki)) {
        return std::nullopt;
    }
    return spki.whole;
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

// Checks the PKCS#7 signature: one signer, SHA-256, Authenticode content whose digest the signer
// signed, a valid signature by a code-signing certificate whose key is pinned. On success
// `imageDigest` receives the image digest the signature vouches for.
SignatureVerdict VerifySignedData(DerBytes signedData, std::span<const char* const> pins,
                                  std::array<std::uint8_t, kDigestSize>& imageDigest) {
    unique_crypt_msg message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !CryptMsgUpdate(message.get(), signedData.data(),
                                    static_cast<DWORD>(signedData.size()), TRUE)) {
        return Refused(SignatureVerdict::BadMessage);
    }
    // Signed data of the PKCS #7 version 1.5 kind that Authenticode uses, with one signer.
    const std::optional<DWORD> type = MessageDword(message.get(), CMSG_TYPE_PARAM);
    if (!type) {
        return Refused(SignatureVerdict::BadMessage);
    }
    if (*type != DWORD{CMSG_SIGNED} || !IsSignedDataVersion1(signedData)) {
        return SignatureVerdict::BadMessage;
    }
    const std::optional<DWORD> signers = MessageDword(message.get(), CMSG_SIGNER_COUNT_PARAM);
    if (!signers) {
        return Refused(SignatureVerdict::BadMessage);
    }
    Bytes contentType;
    if (*signers != DWORD{1}) {
        return SignatureVerdict::BadMessage;
    }
    if (!MessageParam(message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, contentType)) {
        return Refused(SignatureVerdict::BadMessage);
    }
    if (!SameOid(reinterpret_cast<const char*>(contentType.data()), kSpcIndirectDataObjId)) {
        return SignatureVerdict::BadMessage;
    }

    // The signer: named by issuer and serial number (version 1), SHA-256, a known signature
    // algorithm.
    Bytes signerBytes;
    if (!MessageParam(message.get(), CMSG_SIGNER_INFO_PARAM, signerBytes)) {
        return Refused(SignatureVerdict::BadMessage);
    }
    if (signerBytes.size() < sizeof(CMSG_SIGNER_INFO)) {
        return SignatureVerdict::BadMessage;
    }
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBytes.data());
    if (signer.dwVersion != CMSG_SIGNER_INFO_PKCS_1_5_VERSION ||
        !SameOid(signer.HashAlgorithm.pszObjId, szOID_NIST_sha256) ||
        !AbsentOrNull(signer.HashAlgorithm.Parameters) ||
        std::ranges::none_of(kSignatureAlgorithms, [&](const char* oid) {
            return SameOid(signer.HashEncryptionAlgorithm.pszObjId, oid);
        })) {
        return SignatureVerdict::BadMessage;
    }

    // What the signer signed: the content type and the digest of the content.
    const std::optional<DerBytes> signedType =
        SingleAttribute(signer.AuthAttrs, szOID_PKCS_9_CONTENT_TYPE);
    const std::optional<DerBytes> messageDigest =
        SingleAttribute(signer.AuthAttrs, szOID_PKCS_9_MESSAGE_DIGEST);
    DerElement typeOid, digestValue;
    if (!signedType || !messageDigest || !DerSingle(*signedType, kDerOid, typeOid) ||
        !DerIsOid(typeOid, kOidSpcIndirectData) ||
        !DerSingle(*messageDigest, kDerOctetString, digestValue) ||
        digestValue.value.size() != kDigestSize) {
        return SignatureVerdict::BadMessage;
    }

    // The content: SpcIndirectDataContent, whose digest (of its value, without the outer tag and
    // length) must be the signed one. The system does not compare them: the check does.
    Bytes content;
    if (!MessageParam(message.get(), CMSG_CONTENT_PARAM, content)) {
        return Refused(SignatureVerdict::BadMessage);
    }
    DerElement indirectData;
    std::optional<DerBytes> signedImage;
    if (!DerSingle(DerBytes(content.data(), content.size() - 1), kDerSequence, indirectData) ||
        !(signedImage = SignedImageDigest(indirectData.value))) {
        return SignatureVerdict::BadMessage;
    }
    const std::optional<Sha256::Digest> contentDigest = DigestOf(indirectData.value);
    if (!contentDigest) {
        return SignatureVerdict::NoResources;
    }
    if (!std::ranges::equal(*contentDigest, digestValue.value)) {
        return SignatureVerdict::ContentMismatch;
    }

    // The signer's certificate, from the message's own certificates only.
    Bytes certInfo;
    if (!MessageParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, certInfo)) {
        return Refused(SignatureVerdict::BadMessage);
    }
    if (certInfo.size() < sizeof(CERT_INFO)) {
        return SignatureVerdict::BadMessage;
    }
    unique_cert_store store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
    if (!store) {
        return Refused(SignatureVerdict::BadMessage);
    }
    unique_cert_context certificate(CertGetSubjectCertificateFromStore(
        store.get(), kEncoding, reinterpret_cast<CERT_INFO*>(certInfo.data())));
    if (!certificate) {
        return Refused(SignatureVerdict::BadMessage);
    }

    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify{};
    verify.cbSize = sizeof verify;
    verify.dwSignerIndex = 0;
    verify.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    verify.pvSigner = const_cast<CERT_CONTEXT*>(certificate.get());
    if (!CryptMsgControl(message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &verify)) {
        return Refused(SignatureVerdict::BadSignature);
    }
    if (const SignatureVerdict usage = CodeSigningUsage(certificate.get());
        usage != SignatureVerdict::Trusted) {
        return usage;
    }
    const std::optional<DerBytes> spki = SubjectPublicKeyInfo(
        DerBytes(certificate.get()->pbCertEncoded, certificate.get()->cbCertEncoded));
    if (!spki) {
        return SignatureVerdict::BadMessage;
    }
    const std::optional<Sha256::Digest> key = DigestOf(*spki);
    if (!key) {
        return SignatureVerdict::NoResources;
    }
    if (!Sha256::IsListed(*key, pins)) {
        return SignatureVerdict::SignerNotPinned;
    }
    std::ranges::copy(*signedImage, imageDigest.begin());
    return SignatureVerdict::Trusted;
}

// The PE image's Authenticode digest: every byte before the certificate table except the CheckSum
// field and the Security directory entry; Trusted when it is `digest`.
SignatureVerdict CompareImageDigest(EngineFileReader& file, const SignatureLayout& layout,
                                    const std::array<std::uint8_t, kDigestSize>& digest) {
    const std::uint64_t ranges[3][2] = {{0, layout.checksum},
                                        {layout.checksum + 4, layout.securityEntry},
                                        {layout.securityEntry + 8, layout.table}};
    Sha256 hash;
    for (const auto& [begin, end] : ranges) {
        switch (HashFileRange(file, hash, begin, end)) {
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
    SignatureLayout layout;
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
    DerBytes signedData;
    if (const SignatureVerdict verdict =
            FindSignedData(DerBytes(table.data(), table.size()), signedData);
        verdict != SignatureVerdict::Trusted) {
        return verdict;
    }
    std::array<std::uint8_t, kDigestSize> signedImage{};
    if (const SignatureVerdict verdict =
            VerifySignedData(signedData, pinnedSignerKeys, signedImage);
        verdict != SignatureVerdict::Trusted) {
        return verdict;
    }
    // Last, the costly part: the digest of the whole image.
    return CompareImageDigest(file, layout, signedImage);
}
