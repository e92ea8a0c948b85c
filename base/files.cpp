#include "base/files.h"

#include <cwchar>

namespace {

// "~" and the longest target, and the NUL.
constexpr std::uint32_t kPutAsideCapacity = kMaxTargetChars + 2;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Length of `path`, or kTargetPathCapacity when it is longer than kMaxTargetChars.
std::size_t TargetLength(const wchar_t* path) {
    std::size_t length = 0;
    while (length < kTargetPathCapacity && path[length] != L'\0') {
        ++length;
    }
    return length;
}

struct PathSplit {
    std::size_t folderLength; // the folder the last component lies in
    std::size_t nameStart;    // where the last component begins
};

// Splits off the last component as the system's path functions do: a leading "\" or "\\" and a
// drive's "X:\" stay with the folder as its root.
PathSplit SplitLastComponent(const wchar_t* path) {
    std::size_t i = 0;
    std::size_t cut = 0;
    if (IsSeparator(path[i])) {
        cut = ++i;
    }
    if (IsSeparator(path[i])) {
        cut = ++i;
    }
    for (; path[i] != L'\0'; ++i) {
        if (IsSeparator(path[i])) {
            cut = i;
        } else if (path[i] == L':') {
            cut = i + 1;
            if (IsSeparator(path[cut])) {
                i = cut++;
            }
        }
    }
    return {cut, IsSeparator(path[cut]) ? cut + 1 : cut};
}

// "~" in front of the target's last component, so that the put-aside file lies beside the target
// whatever the path's length. False when the target names no file or is too long to handle whole.
bool MakePutAsideName(const wchar_t* targetPath, wchar_t (&putAside)[kPutAsideCapacity]) {
    const std::size_t length = TargetLength(targetPath);
    if (length > kMaxTargetChars) {
        return false;
    }
    const std::size_t nameStart = SplitLastComponent(targetPath).nameStart;
    if (nameStart == length) {
        return false;
    }
    std::wmemcpy(putAside, targetPath, nameStart);
    putAside[nameStart] = L'~';
    std::wmemcpy(putAside + nameStart + 1, targetPath + nameStart, length - nameStart + 1);
    return true;
}

// A renamed file keeps its attributes. A put-aside file that stayed read-only could not be deleted
// by the next clearing of the same target, nor could that target be renamed over it: where no
// restart removes it (a standard user cannot register the deletion), the target would be stuck.
void LeaveDeletable(const wchar_t* putAside) {
    const DWORD attributes = GetFileAttributesW(putAside);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(putAside, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
}

} // namespace

bool TargetFolder(const wchar_t* targetPath, wchar_t (&folder)[kTargetPathCapacity]) {
    folder[0] = L'\0';
    if (TargetLength(targetPath) > kMaxTargetChars) {
        return false;
    }
    const std::size_t length = SplitLastComponent(targetPath).folderLength;
    std::wmemcpy(folder, targetPath, length);
    folder[length] = L'\0';
    return true;
}

BOOL ClearTargetFile(const wchar_t* targetPath) {
    // A target too long to handle whole is left as it is: a cut copy of it names another file.
    if (targetPath == nullptr || TargetLength(targetPath) > kMaxTargetChars) {
        return FALSE;
    }
    // The shell's path functions stop at 260 characters; the file functions take any path.
    const DWORD attributes = GetFileAttributesW(targetPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return TRUE;
    }
    // Only files are cleared: renaming a folder aside and deleting it at restart would destroy
    // data that is no download.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FALSE;
    }
    if (DeleteFileW(targetPath)) {
        return TRUE;
    }
    wchar_t putAside[kPutAsideCapacity];
    if (!MakePutAsideName(targetPath, putAside)) {
        return FALSE;
    }
    if (GetFileAttributesW(putAside) != INVALID_FILE_ATTRIBUTES) {
        DeleteFileW(putAside);
    }
    if (!MoveFileW(targetPath, putAside)) {
        return FALSE;
    }
    LeaveDeletable(putAside);
    return MoveFileExW(putAside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}
