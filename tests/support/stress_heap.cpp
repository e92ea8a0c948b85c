#include "support/stress_heap.h"

#include <cstdint>
#include <cstring>

namespace drvtest {

namespace {

constexpr unsigned char kFill = 0xDB;
// Beyond this many kept blocks, blocks are freed as usual (a run frees a few tens of thousands).
constexpr std::size_t kMaxKept = 1 << 18;

struct KeptBlock {
    unsigned char* data;
    SIZE_T size;
};

SRWLOCK keptLock = SRWLOCK_INIT;
KeptBlock* kept = nullptr;
std::size_t keptCount = 0;

BOOL WINAPI KeepingHeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
    if (memory == nullptr || heap != GetProcessHeap()) {
        return HeapFree(heap, flags, memory);
    }
    const SIZE_T size = HeapSize(heap, 0, memory);
    AcquireSRWLockExclusive(&keptLock);
    const bool keep = size != static_cast<SIZE_T>(-1) && keptCount < kMaxKept;
    if (keep) {
        std::memset(memory, kFill, size);
        kept[keptCount++] = {static_cast<unsigned char*>(memory), size};
    }
    ReleaseSRWLockExclusive(&keptLock);
    return keep ? TRUE : HeapFree(heap, flags, memory);
}

// The import address table entry of kernel32's `name` in `module`; null when it has none.
void** ImportSlot(HMODULE module, const char* name) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return nullptr;
    }
    for (auto* import =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), "KERNEL32.dll") != 0) {
            continue;
        }
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0) {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

} // namespace

bool KeepFreedBlocks(HMODULE library) {
    void** slot = ImportSlot(library, "HeapFree");
    if (slot == nullptr) {
        return false;
    }
    if (kept == nullptr) {
        kept = static_cast<KeptBlock*>(VirtualAlloc(nullptr, kMaxKept * sizeof(KeptBlock),
                                                    MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    DWORD protection = 0;
    if (kept == nullptr || !VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) {
        return false;
    }
    *slot = reinterpret_cast<void*>(&KeepingHeapFree);
    VirtualProtect(slot, sizeof(void*), protection, &protection);
    return true;
}

std::wstring FirstTouchedFreedBlock(std::size_t& blocksKept) {
    AcquireSRWLockShared(&keptLock);
    std::wstring touched;
    blocksKept = keptCount;
    for (std::size_t i = 0; i < keptCount && touched.empty(); ++i) {
        for (SIZE_T at = 0; at < kept[i].size; ++at) {
            if (kept[i].data[at] != kFill) {
                touched = L"a block of " + std::to_wstring(kept[i].size) +
                          L" bytes written at offset " + std::to_wstring(at) + L" (byte " +
                          std::to_wstring(kept[i].data[at]) + L") after it was freed";
                break;
            }
        }
    }
    ReleaseSRWLockShared(&keptLock);
    return touched;
}

} // namespace drvtest
