#include "engine/engine_file.h"

#include "base/heap.h"

#include <algorithm>

bool EngineFileReader::ReadExactly(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const std::optional<std::size_t> read = ReadAt(offset, buffer);
        if (!read || *read == 0) {
            return false;
        }
        offset += *read;
        buffer = buffer.subspan(*read);
    }
    return true;
}

HashOutcome HashFileRange(EngineFileReader& file, Sha256& hash, std::uint64_t begin,
                          std::uint64_t end) {
    constexpr std::size_t kChunk = 64 * 1024;
    HeapArray<std::uint8_t> chunk;
    if (!chunk.resize(kChunk)) {
        return HashOutcome::NoResources;
    }
    for (std::uint64_t at = begin; at < end;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - at));
        const std::optional<std::size_t> read = file.ReadAt(at, std::span(chunk.data(), wanted));
        if (!read) {
            return HashOutcome::ReadFailed;
        }
        if (*read == 0) {
            return end == kToFileEnd ? HashOutcome::Hashed : HashOutcome::ReadFailed;
        }
        if (!hash.Update(chunk.data(), *read)) {
            return HashOutcome::NoResources;
        }
        at += *read;
    }
    return HashOutcome::Hashed;
}

HandleFileReader::HandleFileReader(HANDLE file) : file_(file) {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        size_ = static_cast<std::uint64_t>(size.QuadPart);
    }
}

std::optional<std::size_t> HandleFileReader::ReadAt(std::uint64_t offset,
                                                    std::span<std::uint8_t> buffer) {
    // A synchronous handle reads at the offset the OVERLAPPED record gives.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
    DWORD read = 0;
    if (!ReadFile(file_, buffer.data(), wanted, &read, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        return std::nullopt;
    }
    return read;
}
