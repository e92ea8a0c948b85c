#include "base/files.h"

#include "base/strings.h"

#include <shlwapi.h>

namespace {

// Put-aside names are built in 260 characters and the NUL.
constexpr std::uint32_t kPutAsideCapacity = MAX_PATH + 1;

void MakePutAsideName(const wchar_t* targetPath, wchar_t (&putAside)[kPutAsideCapacity]) {
    CopyWStr(putAside, kPutAsideCapacity, targetPath);
    PathRemoveFileSpecW(putAside);
    const std::size_t dirLength = wcslen(putAside);
    if (dirLength != 0 && putAside[dirLength - 1] != L'\\') {
        AppendWStr(putAside, kPutAsideCapacity, L"\\");
    }
    AppendWStr(putAside, kPutAsideCapacity, L"~");
    AppendWStr(putAside, kPutAsideCapacity, PathFindFileNameW(targetPath));
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

BOOL ClearTargetFile(const wchar_t* targetPath) {
    if (targetPath == nullptr) {
        return FALSE;
    }
    if (!PathFileExistsW(targetPath)) {
        return TRUE;
    }
    // Only files are cleared: renaming a folder aside and deleting it at restart would destroy
    // data that is no download.
    if (PathIsDirectoryW(targetPath)) {
        return FALSE;
    }
    if (DeleteFileW(targetPath)) {
        return TRUE;
    }
    wchar_t putAside[kPutAsideCapacity] = {};
    MakePutAsideName(targetPath, putAside);
    if (PathFileExistsW(putAside)) {
        DeleteFileW(putAside);
    }
    if (!MoveFileW(targetPath, putAside)) {
        return FALSE;
    }
    LeaveDeletable(putAside);
    return MoveFileExW(putAside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}
