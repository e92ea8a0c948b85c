// The part of the C runtime's <stdio.h> that the guide's Microsoft-ABI examples use (see
// windows.h beside it).
#pragma once

#define NULL 0

extern "C" __declspec(dllimport) int __cdecl printf(const char* format, ...);
