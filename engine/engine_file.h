// Reading an engine file for its checks: through the handle the library holds open from the
// checks until the image is mapped, so that what is checked is what gets loaded.
#pragma once

#include "engine/sha256.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

class EngineFileReader {
public:
    virtual ~EngineFileReader() = default;

    // The file's size as its system reports it (a device may report 0 and still answer reads).
    virtual std::uint64_t Size() const = 0;
    // Reads up to buffer.size() bytes at `offset`: how many were read (fewer only at the end of
    // the file), or nothing when the read failed.
    virtual std::optional<std::size_t> ReadAt(std::uint64_t offset,
                                              std::span<std::uint8_t> buffer) = 0;

    // Reads exactly buffer.size() bytes at `offset`; false when the read failed or came up short.
    bool ReadExactly(std::uint64_t offset, std::span<std::uint8_t> buffer);
};

// `end` for HashFileRange: up to the end of the file, wherever it is.
inline constexpr std::uint64_t kToFileEnd = std::numeric_limits<std::uint64_t>::max();

enum class HashOutcome {
    Hashed,
    ReadFailed,  // a read failed, or the file ended before `end`
    NoResources, // no memory for the buffer, or the system's hash failed: says nothing of the file
};

// Adds the bytes [begin, end) of `file` to `hash` (with kToFileEnd: up to the end of the file).
HashOutcome HashFileRange(EngineFileReader& file, Sha256& hash, std::uint64_t begin,
                          std::uint64_t end);

// Reads an open file handle at explicit offsets (its file pointer is left alone).
class HandleFileReader final : public EngineFileReader {
public:
    explicit HandleFileReader(HANDLE file);

    std::uint64_t Size() const override { return size_; }
    std::optional<std::size_t> ReadAt(std::uint64_t offset,
                                      std::span<std::uint8_t> buffer) override;

private:
    HANDLE file_;
    std::uint64_t size_ = 0;
};
