// SHA-256 digests through the system's cryptography (CNG), for checking the engine file.
#pragma once

#include "base/crypt_handles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;
    // Lowercase hexadecimal form of a digest, NUL-terminated.
    using Hex = std::array<char, 65>;

    Sha256();
    // Adds `size` bytes; false when the system's hash failed (then Finish yields nothing).
    bool Update(const void* data, std::size_t size);
    // The digest of everything added; empty when the system's hash failed at any point.
    std::optional<Digest> Finish();

    static Hex ToHex(const Digest& digest);
    // True when the lowercase hex form of `digest` is one of `hexDigests`.
    static bool IsListed(const Digest& digest, std::span<const char* const> hexDigests);

private:
    unique_bcrypt_algorithm algorithm_;
    unique_bcrypt_hash hash_;
    bool failed_ = false;
};
