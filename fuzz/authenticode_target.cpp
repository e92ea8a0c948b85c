// The PE layout and SignedData parsers on any bytes. A file ("MZ...") is read for its layout, and
// the certificate table it finds as SignedData; other bytes are read as a certificate table. What
// they accept must hold: the digest ranges lie in the file, in order, apart from the CheckSum
// field, the Security entry and the table; no section's data runs into the table; and every part
// of the SignedData lies in the table, in the parts that contain it.
#include "engine/pe_layout.h"
#include "engine/signed_data.h"
#include "fuzz/check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

std::uint32_t U32(DerBytes bytes, std::size_t at) {
    FUZZ_REQUIRE(at + 4 <= bytes.size());
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

void CheckLayout(DerBytes file, const PeSignatureLayout& layout) {
    const std::uint64_t size = file.size();
    FUZZ_REQUIRE(layout.table + layout.tableSize == size && layout.tableSize >= 8);
    FUZZ_REQUIRE(layout.checksum + 4 <= layout.securityEntry &&
                 layout.securityEntry + 8 <= layout.table);
    std::uint64_t at = 0;
    for (const FileRange& range : layout.DigestRanges()) {
        FUZZ_REQUIRE(at <= range.begin && range.begin <= range.end && range.end <= layout.table);
        at = range.end;
    }
    FUZZ_REQUIRE(at == layout.table);
    // The excluded fields are what lies between the ranges.
    const auto ranges = layout.DigestRanges();
    FUZZ_REQUIRE(ranges[0].end == layout.checksum && ranges[1].begin == layout.checksum + 4 &&
                 ranges[1].end == layout.securityEntry &&
                 ranges[2].begin == layout.securityEntry + 8);

    // The sections, read again here: none has data past the start of the table.
    const std::size_t nt = U32(file, 0x3c);
    const std::size_t sections = U32(file, nt + 4) >> 16;
    const std::size_t first = nt + 24 + (U32(file, nt + 20) & 0xffff);
    for (std::size_t i = 0; i < sections; ++i) {
        const std::uint64_t rawSize = U32(file, first + 40 * i + 16);
        const std::uint64_t rawPointer = U32(file, first + 40 * i + 20);
        FUZZ_REQUIRE(rawSize == 0 || rawPointer + rawSize <= layout.table);
    }
}

void CheckSignedData(DerBytes table, const AuthenticodeSignedData& parsed) {
    FUZZ_REQUIRE(table.size() % 8 == 0 && parsed.message.data() == table.data() + 8);
    FUZZ_REQUIRE(Within(parsed.message, table));
    FUZZ_REQUIRE(std::all_of(table.begin() + 8 + parsed.message.size(), table.end(),
                             [](std::uint8_t b) { return b == 0; }));
    FUZZ_REQUIRE(DerIsWellFormed(parsed.message, 32));
    FUZZ_REQUIRE(Within(parsed.content, parsed.message));
    FUZZ_REQUIRE(Within(parsed.imageDigest, parsed.content) &&
                 parsed.imageDigest.size() == kSha256Size);
    FUZZ_REQUIRE(Within(parsed.messageDigest, parsed.message) &&
                 parsed.messageDigest.size() == kSha256Size);
    FUZZ_REQUIRE(Within(parsed.signerCertificate, parsed.message) &&
                 !parsed.signerCertificate.empty());
    FUZZ_REQUIRE(Within(parsed.signerPublicKey, parsed.signerCertificate) &&
                 !parsed.signerPublicKey.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DerBytes file(data, size);
    DerBytes table = file;
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        PeSignatureLayout layout;
        const DerBytes head = file.first(std::min(size, kPeHeadersMax));
        if (ParsePeLayout(head, size, layout) != PeLayoutResult::Signed) {
            return 0;
        }
        CheckLayout(file, layout);
        table = file.subspan(static_cast<std::size_t>(layout.table), layout.tableSize);
    }
    AuthenticodeSignedData parsed;
    if (ParseCertificateTable(table, parsed) == SignedDataResult::Parsed) {
        CheckSignedData(table, parsed);
    }
    return 0;
}
