// Making way for a download at a target path.
#pragma once

#include <windows.h>

// Removes whatever file stands at `targetPath` so that a new download can be written there.
// A file that cannot be deleted is renamed to "~" plus its name in the same folder (an older file
// of that name is deleted first), left without the read-only attribute, so that the next call for
// the same target can delete it, and registered for deletion at the next restart.
// Returns TRUE when the path is free or the old file was put aside and its deletion registered,
// FALSE otherwise. A folder at the target path is never touched: FALSE.
BOOL ClearTargetFile(const wchar_t* targetPath);
