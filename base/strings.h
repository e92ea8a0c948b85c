// Bounded copies of UTF-16 strings into fixed-size buffers (the system's strsafe copies).
#pragma once

#include <windows.h>

#include <cstdint>

// Result of CopyWStr when the source did not fit and was cut.
inline constexpr HRESULT kCopyTruncated = static_cast<HRESULT>(0x8007007A);

// Copies the NUL-terminated `source` into `dest`, which holds `capacity` characters, the NUL
// included. Returns S_OK for a whole copy, kCopyTruncated when the source was cut to
// capacity - 1 characters, E_INVALIDARG (dest untouched) when capacity is 0.
// Never reads past the source's NUL and never writes more than `capacity` characters.
HRESULT CopyWStr(wchar_t* dest, std::uint32_t capacity, const wchar_t* source);

// Appends `source` to the NUL-terminated string in `dest` (capacity characters in all), cutting
// silently. Returns S_OK or kCopyTruncated like CopyWStr; E_INVALIDARG (dest untouched) when
// capacity is 0 or `dest` holds no terminator within it.
HRESULT AppendWStr(wchar_t* dest, std::uint32_t capacity, const wchar_t* source);
