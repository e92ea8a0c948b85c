// Making way for a download at a target path.
#pragma once

#include <windows.h>

#include <cstdint>

// Longest target path the library handles whole: what a task record holds without its NUL.
inline constexpr std::uint32_t kMaxTargetChars = 2047;
// A buffer for any such path and its NUL.
inline constexpr std::uint32_t kTargetPathCapacity = kMaxTargetChars + 1;

// Writes into `folder` the folder in which `targetPath` names its file: the path without its last
// component, a root keeping its backslash ("C:\" for C:\pkg.zip), nothing for a bare file name.
// Backslashes and forward slashes both separate components. Returns false, with `folder` empty,
// for a target longer than kMaxTargetChars: such a path is never cut to name another folder.
bool TargetFolder(const wchar_t* targetPath, wchar_t (&folder)[kTargetPathCapacity]);

// Removes whatever file stands at `targetPath` so that a new download can be written there.
// A file that cannot be deleted is renamed to "~" plus its name in the same folder (an older file
// of that name is deleted first), left without the read-only attribute, so that the next call for
// the same target can delete it, and registered for deletion at the next restart.
// Returns TRUE when the path is free or the old file was put aside and its deletion registered,
// FALSE otherwise. A folder at the target path is never touched: FALSE. Nor is anything touched
// for a target longer than kMaxTargetChars: FALSE.
BOOL ClearTargetFile(const wchar_t* targetPath);
