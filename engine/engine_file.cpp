#include "engine/engine_file.h"

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
