#include "engine/signed_data.h"

#include <algorithm>

namespace {

constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;
// How deep a message's elements may nest: Authenticode signatures stay well under this.
constexpr int kMaxDepth = 32;

// Content octets of the object identifiers the check reads.
constexpr std::uint8_t kOidSignedData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
constexpr std::uint8_t kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr std::uint8_t kOidSpcIndirectData[] = {0x2b, 0x06, 0x01, 0x04, 0x01,
                                                0x82, 0x37, 0x02, 0x01, 0x04};
constexpr std::uint8_t kOidSpcPeImageData[] = {0x2b, 0x06, 0x01, 0x04, 0x01,
                                               0x82, 0x37, 0x02, 0x01, 0x0f};
constexpr std::uint8_t kOidContentType[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x03};
constexpr std::uint8_t kOidMessageDigest[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x04};
// Signature algorithms a signer may name: rsaEncryption, sha256WithRSAEncryption,
// ecdsa-with-SHA256. The system verifies the signature itself.
constexpr std::uint8_t kOidRsa[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
constexpr std::uint8_t kOidSha256Rsa[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};
constexpr std::uint8_t kOidEcdsaSha256[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
constexpr DerBytes kSignatureAlgorithms[] = {kOidRsa, kOidSha256Rsa, kOidEcdsaSha256};

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool IsInteger1(const DerElement& element) {
    return element.tag == kDerInteger && element.value.size() == 1 && element.value[0] == 1;
}

// AlgorithmIdentifier { OID sha256 [, NULL] }: SHA-256 takes no parameters.
bool IsSha256(const DerElement& algorithm) {
    DerReader identifier(algorithm.value);
    DerElement oid;
    if (!identifier.Next(kDerOid, oid) || !DerIsOid(oid, kOidSha256)) {
        return false;
    }
    DerElement null;
    if (identifier.Next(kDerNull, null) && !null.value.empty()) {
        return false;
    }
    return identifier.AtEnd();
}

// The image digest inside SpcIndirectDataContent:
//   SEQUENCE { SpcAttributeTypeAndOptionalValue { OID SPC_PE_IMAGE_DATAOBJ, ... },
//              DigestInfo { AlgorithmIdentifier { OID sha256 [, NULL] }, OCTET STRING } }
bool ReadImageDigest(DerBytes indirectDataContent, DerBytes& digest) {
    DerReader content(indirectDataContent);
    DerElement data, digestInfo;
    if (!content.Next(kDerSequence, data) || !content.Next(kDerSequence, digestInfo) ||
        !content.AtEnd()) {
        return false;
    }
    DerElement type;
    if (!DerReader(data.value).Next(kDerOid, type) || !DerIsOid(type, kOidSpcPeImageData)) {
        return false;
    }
    DerReader info(digestInfo.value);
    DerElement algorithm, value;
    if (!info.Next(kDerSequence, algorithm) || !info.Next(kDerOctetString, value) ||
        !info.AtEnd() || value.value.size() != kSha256Size || !IsSha256(algorithm)) {
        return false;
    }
    digest = value.value;
    return true;
}

// The single value of the attribute `oid` among the signed attributes, which must hold it once
// with one value; other attributes are left alone.
bool SingleAttribute(DerBytes attributes, DerBytes oid, DerElement& value) {
    bool found = false;
    DerReader reader(attributes);
    while (!reader.AtEnd()) {
        DerElement attribute, type, values;
        if (!reader.Next(kDerSequence, attribute)) {
            return false;
        }
        DerReader fields(attribute.value);
        if (!fields.Next(kDerOid, type) || !fields.Next(kDerSet, values) || !fields.AtEnd()) {
            return false;
        }
        if (!DerIsOid(type, oid)) {
            continue;
        }
        DerReader single(values.value);
        if (found || !single.Next(value) || !single.AtEnd()) {
            return false;
        }
        found = true;
    }
    return found;
}

// The DER SubjectPublicKeyInfo of a certificate, and the issuer and serial number that name it:
//   Certificate { TBSCertificate { [0] version, serial, signature, issuer, validity, subject,
//                                  subjectPublicKeyInfo, ... }, ... }
struct CertificateNames {
    DerBytes serial;
    DerBytes issuer;
    DerBytes publicKey;
};

bool ReadCertificate(DerBytes certificate, CertificateNames& names) {
    DerElement outer, tbs;
    if (!DerSingle(certificate, kDerSequence, outer) ||
        !DerReader(outer.value).Next(kDerSequence, tbs)) {
        return false;
    }
    DerReader fields(tbs.value);
    fields.SkipIf(DerContext(0));
    DerElement serial, issuer, spki;
    if (!fields.Next(kDerInteger, serial) || !fields.SkipIf(kDerSequence) ||
        !fields.Next(kDerSequence, issuer) || !fields.SkipIf(kDerSequence) ||
        !fields.SkipIf(kDerSequence) || !fields.Next(kDerSequence, spki)) {
        return false;
    }
    names = {serial.whole, issuer.whole, spki.whole};
    return true;
}

// The one certificate among `certificates` whose issuer and serial number are those given: an
// ambiguous name is refused, so that the key checked is the key pinned.
bool FindSignerCertificate(DerBytes certificates, DerBytes issuer, DerBytes serial,
                           AuthenticodeSignedData& parsed) {
    bool found = false;
    DerReader reader(certificates);
    while (!reader.AtEnd()) {
        DerElement certificate;
        CertificateNames names;
        if (!reader.Next(kDerSequence, certificate)) {
            return false;
        }
        if (!ReadCertificate(certificate.whole, names) ||
            !std::ranges::equal(names.issuer, issuer) ||
            !std::ranges::equal(names.serial, serial)) {
            continue;
        }
        if (found) {
            return false;
        }
        found = true;
        parsed.signerCertificate = certificate.whole;
        parsed.signerPublicKey = names.publicKey;
    }
    return found;
}

// SignerInfo { INTEGER 1, IssuerAndSerialNumber, DigestAlgorithmIdentifier, [0] signed
//              attributes, signature algorithm, OCTET STRING signature [, [1] unsigned] }
bool ReadSigner(DerBytes signerInfos, DerBytes certificates, AuthenticodeSignedData& parsed) {
    DerElement signer;
    if (!DerSingle(signerInfos, kDerSequence, signer)) {
        return false; // exactly one signer
    }
    DerReader fields(signer.value);
    DerElement version, sid, digestAlgorithm, attributes, signatureAlgorithm, signature;
    if (!fields.Next(version) || !IsInteger1(version) || !fields.Next(kDerSequence, sid) ||
        !fields.Next(kDerSequence, digestAlgorithm) || !IsSha256(digestAlgorithm) ||
        !fields.Next(DerContext(0), attributes) || !fields.Next(kDerSequence, signatureAlgorithm) ||
        !fields.Next(kDerOctetString, signature)) {
        return false;
    }
    fields.SkipIf(DerContext(1));
    if (!fields.AtEnd()) {
        return false;
    }
    DerElement algorithm;
    if (!DerReader(signatureAlgorithm.value).Next(kDerOid, algorithm) ||
        std::ranges::none_of(kSignatureAlgorithms,
                             [&](DerBytes oid) { return DerIsOid(algorithm, oid); })) {
        return false;
    }

    // What the signer signed: the content type and the digest of the content.
    DerElement contentType, messageDigest;
    if (!SingleAttribute(attributes.value, kOidContentType, contentType) ||
        !DerIsOid(contentType, kOidSpcIndirectData) ||
        !SingleAttribute(attributes.value, kOidMessageDigest, messageDigest) ||
        messageDigest.tag != kDerOctetString || messageDigest.value.size() != kSha256Size) {
        return false;
    }
    parsed.messageDigest = messageDigest.value;

    DerReader name(sid.value);
    DerElement issuer, serial;
    return name.Next(kDerSequence, issuer) && name.Next(kDerInteger, serial) && name.AtEnd() &&
           FindSignerCertificate(certificates, issuer.whole, serial.whole, parsed);
}

// ContentInfo { OID signedData, [0] EXPLICIT SignedData { INTEGER 1, SET digestAlgorithms,
//               encapContentInfo, [0] certificates, [1] crls OPTIONAL, SET signerInfos } }
bool ReadMessage(DerBytes message, AuthenticodeSignedData& parsed) {
    DerElement contentInfo, type, explicitContent, signedData;
    if (!DerSingle(message, kDerSequence, contentInfo) || !DerIsWellFormed(message, kMaxDepth)) {
        return false;
    }
    DerReader info(contentInfo.value);
    if (!info.Next(kDerOid, type) || !DerIsOid(type, kOidSignedData) ||
        !info.Next(DerContext(0), explicitContent) || !info.AtEnd() ||
        !DerSingle(explicitContent.value, kDerSequence, signedData)) {
        return false;
    }
    DerReader fields(signedData.value);
    DerElement version, encapsulated, certificates, signerInfos;
    if (!fields.Next(version) || !IsInteger1(version) || !fields.SkipIf(kDerSet) ||
        !fields.Next(kDerSequence, encapsulated) || !fields.Next(DerContext(0), certificates)) {
        return false;
    }
    fields.SkipIf(DerContext(1));
    if (!fields.Next(kDerSet, signerInfos) || !fields.AtEnd()) {
        return false;
    }

    // encapContentInfo { OID SPC_INDIRECT_DATA, [0] EXPLICIT SpcIndirectDataContent }
    DerReader encapsulatedFields(encapsulated.value);
    DerElement contentType, explicitData, indirectData;
    if (!encapsulatedFields.Next(kDerOid, contentType) ||
        !DerIsOid(contentType, kOidSpcIndirectData) ||
        !encapsulatedFields.Next(DerContext(0), explicitData) || !encapsulatedFields.AtEnd() ||
        !DerSingle(explicitData.value, kDerSequence, indirectData) ||
        !ReadImageDigest(indirectData.value, parsed.imageDigest)) {
        return false;
    }
    parsed.message = message;
    parsed.content = indirectData.value;
    return ReadSigner(signerInfos.value, certificates.value, parsed);
}

} // namespace

SignedDataResult ParseCertificateTable(DerBytes table, AuthenticodeSignedData& parsed) {
    if (table.size() < 8) {
        return SignedDataResult::BadLayout;
    }
    const std::uint32_t length = U32(table.data());
    if (U16(&table[4]) != kWinCertRevision2 || U16(&table[6]) != kWinCertTypePkcsSignedData ||
        length <= 8 || length > table.size() || (length + 7ull) / 8 * 8 != table.size()) {
        return SignedDataResult::BadLayout;
    }
    DerElement message;
    if (!DerReader(table.subspan(8, length - 8)).Next(kDerSequence, message)) {
        return SignedDataResult::BadMessage;
    }
    const DerBytes padding = table.subspan(8 + message.whole.size());
    if (padding.size() >= 8 ||
        !std::ranges::all_of(padding, [](std::uint8_t b) { return b == 0; })) {
        return SignedDataResult::BadLayout;
    }
    AuthenticodeSignedData candidate;
    if (!ReadMessage(message.whole, candidate)) {
        return SignedDataResult::BadMessage;
    }
    parsed = candidate;
    return SignedDataResult::Parsed;
}
