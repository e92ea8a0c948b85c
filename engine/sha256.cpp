#include "engine/sha256.h"

#include <algorithm>
#include <cstring>

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

} // namespace

Sha256::Sha256() {
    failed_ =
        !Succeeded(
            BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !Succeeded(BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0));
}

bool Sha256::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (!failed_ && size > 0) {
        const ULONG part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        failed_ = !Succeeded(BCryptHashData(hash_.get(), bytes, part, 0));
        bytes += part;
        size -= part;
    }
    return !failed_;
}

std::optional<Sha256::Digest> Sha256::Finish() {
    Digest digest{};
    if (failed_ || !Succeeded(BCryptFinishHash(hash_.get(), digest.data(),
                                               static_cast<ULONG>(digest.size()), 0))) {
        failed_ = true;
        return std::nullopt;
    }
    return digest;
}

Sha256::Hex Sha256::ToHex(const Digest& digest) {
    constexpr char kDigits[] = "0123456789abcdef";
    Hex hex{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return hex;
}

bool Sha256::IsListed(const Digest& digest, std::span<const char* const> hexDigests) {
    const Hex hex = ToHex(digest);
    return std::ranges::any_of(hexDigests, [&](const char* listed) {
        return listed != nullptr && std::strcmp(listed, hex.data()) == 0;
    });
}
