// The PKCS#7 SignedData of an Authenticode signature, read with the library's DER reader: the
// parts the check relies on, as spans of the certificate table. Pure: no system calls. The
// message must be DER throughout, so that the system, which later checks the signer's signature
// over the same bytes, cannot read them as anything else.
#pragma once

#include "engine/der.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kSha256Size = 32;

struct AuthenticodeSignedData {
    DerBytes message;           // the whole ContentInfo, for the signature check
    DerBytes content;           // the value of SpcIndirectDataContent, which messageDigest digests
    DerBytes imageDigest;       // the SHA-256 digest of the image the content names, 32 bytes
    DerBytes messageDigest;     // the signed messageDigest attribute's value, 32 bytes
    DerBytes signerCertificate; // the signer's certificate, found by issuer and serial number
    DerBytes signerPublicKey;   // its SubjectPublicKeyInfo, inside signerCertificate
};

enum class SignedDataResult {
    Parsed,
    BadLayout,  // not one WIN_CERTIFICATE entry of the PKCS#7 kind, zero-padded to its end
    BadMessage, // not one well-formed SHA-256 Authenticode signer
};

// Reads the certificate table: one WIN_CERTIFICATE entry (revision 2, PKCS#7 SignedData) whose
// ContentInfo is version 1 SignedData of SpcIndirectDataContent with a SHA-256 image digest, and
// exactly one version 1 SignerInfo: SHA-256, a known signature algorithm, signed contentType and
// messageDigest attributes, and a certificate among the message's own that it names.
SignedDataResult ParseCertificateTable(DerBytes table, AuthenticodeSignedData& parsed);
