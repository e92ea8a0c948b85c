// Trusting an engine file by its maker's signature: an Authenticode signature embedded in the
// file, made by a signer whose public key the build pins.
#pragma once

#include "engine/engine_file.h"

#include <span>

enum class SignatureVerdict {
    Trusted,         // signed by a pinned signer, and the signature covers this very file
    Unreadable,      // the file could not be read: no answer
    NotSigned,       // no certificate table (or not a PE image at all)
    BadLayout,       // malformed headers or certificate table, the table does not end the file,
                     // or a section's data runs into it
    BadMessage,      // the signature is not one well-formed SHA-256 Authenticode signer
    ContentMismatch, // the signed messageDigest is not the digest of the signed content
    BadSignature,    // the signer's signature over its attributes does not verify
    NotCodeSigning,  // the signer's certificate is not for code signing
    SignerNotPinned, // the signer's key is not one the build pins
    ImageMismatch,   // the image's own digest is not the one the signature carries
    NoResources,     // memory, the system's hash or its cryptography ran short: no answer
};

// Checks the file's Authenticode signature against the pinned signer keys: lowercase hex SHA-256
// digests of the DER SubjectPublicKeyInfo of each trusted signer. Every offset and size read from
// the file is checked against the file before it is used.
SignatureVerdict VerifyEngineSignature(EngineFileReader& file,
                                       std::span<const char* const> pinnedSignerKeys);
