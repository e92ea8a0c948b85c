#include "base/strings.h"

// The bounded copies of the system; their deprecation of the runtime's unbounded ones is not
// needed in this file.
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>

static_assert(kCopyTruncated == STRSAFE_E_INSUFFICIENT_BUFFER);
static_assert(E_INVALIDARG == STRSAFE_E_INVALID_PARAMETER);

HRESULT CopyWStr(wchar_t* dest, std::uint32_t capacity, const wchar_t* source) {
    return StringCchCopyW(dest, capacity, source);
}

HRESULT AppendWStr(wchar_t* dest, std::uint32_t capacity, const wchar_t* source) {
    return StringCchCatW(dest, capacity, source);
}
