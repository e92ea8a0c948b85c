// Freed memory kept and filled: the library's HeapFree (its import address table entry) is
// pointed at a stub that fills each block of the process heap with a pattern and keeps it
// instead of freeing it, so a write into a freed object stays visible and a read of one sees the
// pattern instead of a later object's data.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace drvtest {

// Routes `library`'s HeapFree through the stub from now on; false when its import table has no
// HeapFree. Blocks freed before are not kept. Once per process.
bool KeepFreedBlocks(HMODULE library);

// The first block kept whose pattern has changed since it was freed, told as its size, the
// offset of the first changed byte and the bytes there; empty when none has changed. Also counts
// the blocks kept.
std::wstring FirstTouchedFreedBlock(std::size_t& blocksKept);

} // namespace drvtest
