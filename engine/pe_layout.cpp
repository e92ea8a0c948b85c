#include "engine/pe_layout.h"

#include <algorithm>

namespace {

// PE header fields (offsets within their headers).
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kLfanewOffset = 0x3c;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kNumberOfSectionsOffset = 2;      // in the file header
constexpr std::size_t kSizeOfOptionalHeaderOffset = 16; // in the file header
constexpr std::size_t kChecksumOffset = 64;             // in the optional header, either kind
constexpr std::size_t kSecurityDirectoryIndex = 4;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSizeOfRawDataOffset = 16; // in a section header
constexpr std::size_t kPointerToRawDataOffset = 20;
constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

PeLayoutResult ParsePeLayout(std::span<const std::uint8_t> head, std::uint64_t fileSize,
                             PeSignatureLayout& layout) {
    head = head.first(static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), fileSize)));
    if (head.size() < kDosHeaderSize) {
        return PeLayoutResult::NotSigned;
    }
    if (head[0] != 'M' || head[1] != 'Z') {
        return PeLayoutResult::NotSigned;
    }

    // "PE\0\0", the file header, and the optional header up to the Security directory entry.
    const std::uint64_t nt = U32(&head[kLfanewOffset]);
    const std::size_t optional = 4 + kFileHeaderSize;
    if (nt >= head.size() || head.size() - nt < optional + 2) {
        return PeLayoutResult::BadLayout;
    }
    const std::span<const std::uint8_t> headers = head.subspan(static_cast<std::size_t>(nt));
    if (headers[0] != 'P' || headers[1] != 'E' || headers[2] != 0 || headers[3] != 0) {
        return PeLayoutResult::BadLayout;
    }
    const std::size_t sections = U16(&headers[4 + kNumberOfSectionsOffset]);
    const std::size_t optionalSize = U16(&headers[4 + kSizeOfOptionalHeaderOffset]);
    std::size_t directories = 0;
    switch (U16(&headers[optional])) {
    case kPe32Magic:
        directories = 96;
        break;
    case kPe32PlusMagic:
        directories = 112;
        break;
    default:
        return PeLayoutResult::BadLayout;
    }
    const std::size_t entry = directories + 8 * kSecurityDirectoryIndex;
    if (optionalSize < entry + 8 || headers.size() < optional + entry + 8 ||
        U32(&headers[optional + directories - 4]) <= kSecurityDirectoryIndex) {
        return PeLayoutResult::BadLayout;
    }

    layout.checksum = nt + optional + kChecksumOffset;
    layout.securityEntry = nt + optional + entry;
    layout.table = U32(&headers[optional + entry]);
    layout.tableSize = U32(&headers[optional + entry + 4]);
    if (layout.table == 0 && layout.tableSize == 0) {
        return PeLayoutResult::NotSigned;
    }
    // The table is 8-byte aligned, after the headers, and ends the file: nothing follows it that
    // the image digest would not cover.
    if (layout.table % 8 != 0 || layout.table < layout.securityEntry + 8 || layout.tableSize < 8 ||
        layout.tableSize > kMaxCertificateTable || layout.table + layout.tableSize != fileSize) {
        return PeLayoutResult::BadLayout;
    }

    // No section's data runs into the table: the digest covers all of it, and none of the
    // signature is ever mapped as part of the image.
    const std::size_t sectionTable = optional + optionalSize;
    if (headers.size() < sectionTable ||
        (headers.size() - sectionTable) / kSectionHeaderSize < sections ||
        nt + sectionTable + sections * kSectionHeaderSize > layout.table) {
        return PeLayoutResult::BadLayout;
    }
    for (std::size_t i = 0; i < sections; ++i) {
        const std::uint8_t* section = &headers[sectionTable + i * kSectionHeaderSize];
        const std::uint64_t rawSize = U32(section + kSizeOfRawDataOffset);
        const std::uint64_t rawPointer = U32(section + kPointerToRawDataOffset);
        if (rawSize != 0 && rawPointer + rawSize > layout.table) {
            return PeLayoutResult::BadLayout;
        }
    }
    return PeLayoutResult::Signed;
}
