// Where an Authenticode signature lies in a PE file, read from the file's first bytes alone: the
// certificate table and the byte ranges the image digest covers. Pure: no system calls, so the
// native fuzz build compiles it as it is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// How much of the start of a file the headers must fit in (DOS header, PE headers, sections).
inline constexpr std::size_t kPeHeadersMax = 64 * 1024;
// A certificate table larger than this is not an engine's signature.
inline constexpr std::uint32_t kMaxCertificateTable = 1u << 20;

// [begin, end) in the file.
struct FileRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

struct PeSignatureLayout {
    std::uint64_t checksum = 0;      // the CheckSum field, 4 bytes
    std::uint64_t securityEntry = 0; // the Security directory entry, 8 bytes
    std::uint64_t table = 0;         // the certificate table, up to the end of the file
    std::uint32_t tableSize = 0;

    // What the image digest covers, in file order: every byte before the certificate table except
    // the CheckSum field and the Security directory entry.
    std::array<FileRange, 3> DigestRanges() const {
        return {{{0, checksum}, {checksum + 4, securityEntry}, {securityEntry + 8, table}}};
    }
};

enum class PeLayoutResult {
    Signed,    // a certificate table where one may be: `layout` says where
    NotSigned, // no certificate table, or not a PE image at all
    BadLayout, // malformed headers, or a certificate table that is misplaced or overlaps data
};

// Reads the layout from `head`, the first min(fileSize, kPeHeadersMax) bytes of a file of
// `fileSize` bytes. Every offset read is checked against the file before it is used.
PeLayoutResult ParsePeLayout(std::span<const std::uint8_t> head, std::uint64_t fileSize,
                             PeSignatureLayout& layout);
