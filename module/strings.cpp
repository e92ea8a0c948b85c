#include "module/strings.h"

HRESULT CopyWStr(wchar_t* dest, std::uint32_t capacity, const wchar_t* source) {
    if (capacity == 0) {
        return E_INVALIDARG;
    }
    std::uint32_t written = 0;
    while (written < capacity) {
        const wchar_t c = source[written];
        if (c == L'\0') {
            dest[written] = L'\0';
            return S_OK;
        }
        dest[written] = c;
        ++written;
    }
    dest[capacity - 1] = L'\0';
    return kCopyTruncated;
}

HRESULT AppendWStr(wchar_t* dest, std::uint32_t capacity, const wchar_t* source) {
    std::uint32_t length = 0;
    while (length < capacity && dest[length] != L'\0') {
        ++length;
    }
    if (length == capacity) {
        return capacity == 0 ? E_INVALIDARG : kCopyTruncated;
    }
    return CopyWStr(dest + length, capacity - length, source);
}
