// SHA-256 digests, for checking the engine file against the build's allowlist.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(const void* data, std::size_t size);
    Digest Finish();

    // Lowercase hexadecimal form of a digest, NUL-terminated.
    using Hex = std::array<char, 65>;
    static Hex ToHex(const Digest& digest);

private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};
