#include "support/import_faults.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace drvtest {

namespace {

// --- the import table, read from the file ---

struct PeFile {
    std::vector<char> bytes;
    const IMAGE_NT_HEADERS* nt = nullptr;

    template <class T>
    const T* AtRva(DWORD rva) const {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress &&
                rva < section->VirtualAddress + section->SizeOfRawData) {
                const std::size_t at = rva - section->VirtualAddress + section->PointerToRawData;
                if (at + sizeof(T) <= bytes.size()) {
                    return reinterpret_cast<const T*>(bytes.data() + at);
                }
            }
        }
        throw std::runtime_error("import table: RVA outside the file");
    }
};

PeFile ReadPe(const std::wstring& path) {
    PeFile pe;
    std::ifstream in(path.c_str(), std::ios::binary);
    pe.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pe.bytes.data());
    if (pe.bytes.size() < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE ||
        dos->e_lfanew + sizeof(IMAGE_NT_HEADERS) > pe.bytes.size()) {
        throw std::runtime_error("not a PE file of this architecture");
    }
    pe.nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pe.bytes.data() + dos->e_lfanew);
    if (pe.nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
        throw std::runtime_error("not a PE file of this architecture");
    }
    return pe;
}

// --- the stubs ---

struct Stub {
    std::string dll;
    std::string name;
    const ImportFailure* failure = nullptr;
    FARPROC real = nullptr;
    void* code = nullptr;
    volatile LONG calls = 0;
};

constexpr std::size_t kMaxStubs = 256;
constexpr std::size_t kStubBytes = 96;
Stub g_stubs[kMaxStubs];
std::size_t g_stubCount = 0;
volatile LONG g_armedStub = -1;
volatile LONG g_armedCall = 0;
volatile LONG g_fired = 0;

// Called by every stub with its index: counts the call and says whether it fails. Touches no
// error state unless the call fails, so a passed-through call sees the caller's last error.
extern "C" int __cdecl ImportFaultsDecide(int index) {
    const LONG call = InterlockedIncrement(&g_stubs[index].calls);
    if (index != g_armedStub || call != g_armedCall) {
        return 0;
    }
    InterlockedExchange(&g_fired, 1);
    const ImportFailure& failure = *g_stubs[index].failure;
    if (failure.errnoValue != 0) {
        errno = failure.errnoValue;
    }
    if (failure.lastError != 0) {
        SetLastError(failure.lastError);
    }
    return 1;
}

class CodeWriter {
public:
    explicit CodeWriter(unsigned char* at) : at_(at) {}
    CodeWriter& Bytes(std::initializer_list<unsigned char> bytes) {
        for (unsigned char b : bytes) {
            *at_++ = b;
        }
        return *this;
    }
    template <class T>
    CodeWriter& Value(T value) {
        std::memcpy(at_, &value, sizeof value);
        at_ += sizeof value;
        return *this;
    }
    unsigned char* Here() const { return at_; }

private:
    unsigned char* at_;
};

// The stub of import `index`: asks ImportFaultsDecide; 0 jumps on to the real function with the
// caller's arguments untouched, 1 returns the failure value, or the argument the failure names (on
// x86 popping a stdcall function's arguments).
void WriteStub(unsigned char* code, int index) {
    const Stub& stub = g_stubs[index];
    const int resultArg = stub.failure->resultArg;
    CodeWriter w(code);
#if defined(__x86_64__)
    // The argument registers, restored before the failure branch: mov rax, rcx / rdx / r8 / r9.
    constexpr unsigned char kMovRaxFromArg[4][3] = {
        {0x48, 0x89, 0xC8}, {0x48, 0x89, 0xD0}, {0x4C, 0x89, 0xC0}, {0x4C, 0x89, 0xC8}};
    if (resultArg > 4) {
        throw std::runtime_error("a stack argument as the failure result on x64");
    }
    // Save the four argument registers; 32 bytes of shadow space plus 8 to align the stack.
    w.Bytes({0x51, 0x52, 0x41, 0x50, 0x41, 0x51, 0x48, 0x83, 0xEC, 0x28});
    w.Bytes({0xB9}).Value<std::uint32_t>(index); // mov ecx, index
    w.Bytes({0x48, 0xB8}).Value(reinterpret_cast<std::uint64_t>(&ImportFaultsDecide)); // mov rax
    w.Bytes({0xFF, 0xD0});                                                             // call rax
    w.Bytes({0x48, 0x83, 0xC4, 0x28, 0x41, 0x59, 0x41, 0x58, 0x5A, 0x59});             // restore
    w.Bytes({0x85, 0xC0, 0x75, 12});                                         // test; jnz fail
    w.Bytes({0x48, 0xB8}).Value(reinterpret_cast<std::uint64_t>(stub.real)); // mov rax, real
    w.Bytes({0xFF, 0xE0});                                                   // jmp rax
    if (resultArg > 0) { // fail: mov rax, argument
        const unsigned char* mov = kMovRaxFromArg[resultArg - 1];
        w.Bytes({mov[0], mov[1], mov[2]});
    } else { // fail: mov rax, value
        w.Bytes({0x48, 0xB8}).Value(static_cast<std::uint64_t>(stub.failure->value));
    }
    w.Bytes({0xC3}); // ret
#else
    w.Bytes({0x68}).Value<std::uint32_t>(index);                                 // push index
    w.Bytes({0xB8}).Value(reinterpret_cast<std::uint32_t>(&ImportFaultsDecide)); // mov eax
    w.Bytes({0xFF, 0xD0, 0x83, 0xC4, 0x04});                                     // call; pop
    w.Bytes({0x85, 0xC0, 0x75, 7});                                              // test; jnz fail
    w.Bytes({0xB8}).Value(reinterpret_cast<std::uint32_t>(stub.real));           // mov eax, real
    w.Bytes({0xFF, 0xE0});                                                       // jmp eax
    if (resultArg > 0) { // fail: mov eax, [esp + 4 * argument]
        w.Bytes({0x8B, 0x44, 0x24}).Value(static_cast<std::uint8_t>(4 * resultArg));
    } else { // fail: mov eax, value
        w.Bytes({0xB8}).Value(static_cast<std::uint32_t>(stub.failure->value));
    }
    if (stub.failure->x86ArgBytes >= 0) {
        w.Bytes({0xC2}).Value<std::uint16_t>(stub.failure->x86ArgBytes); // ret n
    } else {
        w.Bytes({0xC3}); // ret
    }
#endif
    if (w.Here() > code + kStubBytes) {
        throw std::runtime_error("stub too long");
    }
}

// Room for the stubs of one exporting module. An export table entry is a 32-bit offset from the
// module's base, so on x64 the stubs must lie above the module and within 4 GiB of it.
unsigned char* AllocateNear(HMODULE module, std::size_t size) {
#if defined(__x86_64__)
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        reinterpret_cast<const char*>(module) +
        reinterpret_cast<const IMAGE_DOS_HEADER*>(module)->e_lfanew);
    constexpr std::uintptr_t kGranule = 64 * 1024;
    const auto base = reinterpret_cast<std::uintptr_t>(module);
    for (std::uintptr_t at =
             (base + nt->OptionalHeader.SizeOfImage + kGranule - 1) & ~(kGranule - 1);
         at + size < base + 0xF0000000u; at += kGranule) {
        if (void* got = VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT,
                                     PAGE_EXECUTE_READWRITE)) {
            return static_cast<unsigned char*>(got);
        }
    }
    return nullptr;
#else
    static_cast<void>(module);
    return static_cast<unsigned char*>(
        VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
#endif
}

template <class T>
T* AtRva(HMODULE module, DWORD rva) {
    return reinterpret_cast<T*>(reinterpret_cast<char*>(module) + rva);
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int index) {
    const auto* nt = AtRva<IMAGE_NT_HEADERS>(
        module, static_cast<DWORD>(reinterpret_cast<const IMAGE_DOS_HEADER*>(module)->e_lfanew));
    return nt->OptionalHeader.DataDirectory[index];
}

// The export table slot of `name` in `module`; null when it exports no such name.
DWORD* ExportSlot(HMODULE module, const std::string& name) {
    const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (dir.VirtualAddress == 0) {
        return nullptr;
    }
    const auto* exports = AtRva<IMAGE_EXPORT_DIRECTORY>(module, dir.VirtualAddress);
    const DWORD* names = AtRva<DWORD>(module, exports->AddressOfNames);
    const WORD* ordinals = AtRva<WORD>(module, exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (name == AtRva<const char>(module, names[i])) {
            return AtRva<DWORD>(module, exports->AddressOfFunctions) + ordinals[i];
        }
    }
    return nullptr;
}

template <class T>
void WriteProtected(T* at, T value) {
    DWORD old = 0;
    if (!VirtualProtect(at, sizeof value, PAGE_READWRITE, &old)) {
        throw std::runtime_error("VirtualProtect failed");
    }
    *at = value;
    VirtualProtect(at, sizeof value, old, &old);
    FlushInstructionCache(GetCurrentProcess(), at, sizeof value);
}

// Points the export slots of every stubbed function at its stub (or back at the original).
struct ExportPatch {
    DWORD* slot;
    DWORD original;
    DWORD stubRva;
};
std::vector<ExportPatch> g_exportPatches;

} // namespace

std::vector<ImportedFunction> ReadImportTable(const std::wstring& dllPath) {
    const PeFile pe = ReadPe(dllPath);
    const IMAGE_DATA_DIRECTORY& dir =
        pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<ImportedFunction> imports;
    if (dir.VirtualAddress == 0) {
        return imports;
    }
    for (DWORD at = dir.VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = pe.AtRva<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (descriptor->Name == 0) {
            break;
        }
        const std::string dll = pe.AtRva<char>(descriptor->Name);
        DWORD thunkRva = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk
                                                             : descriptor->FirstThunk;
        for (;; thunkRva += sizeof(IMAGE_THUNK_DATA)) {
            const auto* thunk = pe.AtRva<IMAGE_THUNK_DATA>(thunkRva);
            if (thunk->u1.AddressOfData == 0) {
                break;
            }
            if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) {
                imports.push_back({dll, {}});
            } else {
                const auto* byName =
                    pe.AtRva<IMAGE_IMPORT_BY_NAME>(static_cast<DWORD>(thunk->u1.AddressOfData));
                imports.push_back({dll, reinterpret_cast<const char*>(byName->Name)});
            }
        }
    }
    return imports;
}

ImportFaults::ImportFaults(const std::wstring& libraryPath)
    : libraryPath_(libraryPath), imports_(ReadImportTable(libraryPath)) {
    if (g_stubCount != 0) {
        throw std::runtime_error("one ImportFaults per process");
    }
    struct Block {
        HMODULE module;
        unsigned char* next;
    };
    std::vector<Block> blocks;
    for (const ImportedFunction& import : imports_) {
        const ImportFailure* failure = FindImportFailure(import.name);
        if (failure == nullptr) {
            unclassified_.push_back(import.dll + "!" +
                                    (import.name.empty() ? "(ordinal)" : import.name));
            continue;
        }
        if (failure->excluded != nullptr) {
            continue;
        }
        // The exporting DLL is loaded for good now, so that it is not loaded (and its own imports
        // bound to stubs) while the library loads.
        HMODULE module = LoadLibraryA(import.dll.c_str());
        DWORD* slot = module != nullptr ? ExportSlot(module, import.name) : nullptr;
        if (slot == nullptr || g_stubCount == kMaxStubs) {
            throw std::runtime_error("cannot stub " + import.dll + "!" + import.name);
        }
        Block* block = nullptr;
        for (Block& b : blocks) {
            block = b.module == module ? &b : block;
        }
        if (block == nullptr) {
            unsigned char* room = AllocateNear(module, kMaxStubs * kStubBytes);
            if (room == nullptr) {
                throw std::runtime_error("no room for stubs near " + import.dll);
            }
            blocks.push_back({module, room});
            block = &blocks.back();
        }
        Stub& stub = g_stubs[g_stubCount];
        stub.dll = import.dll;
        stub.name = import.name;
        stub.failure = failure;
        stub.real = GetProcAddress(module, import.name.c_str());
        stub.code = block->next;
        block->next += kStubBytes;
        WriteStub(static_cast<unsigned char*>(stub.code), static_cast<int>(g_stubCount));
        g_exportPatches.push_back({slot, *slot,
                                   static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(stub.code) -
                                                      reinterpret_cast<std::uintptr_t>(module))});
        ++g_stubCount;
    }
    FlushInstructionCache(GetCurrentProcess(), nullptr, 0);
}

HMODULE ImportFaults::Load() {
    for (const ExportPatch& patch : g_exportPatches) {
        WriteProtected(patch.slot, patch.stubRva);
    }
    HMODULE library = LoadLibraryW(libraryPath_.c_str());
    const DWORD error = GetLastError();
    for (const ExportPatch& patch : g_exportPatches) {
        WriteProtected(patch.slot, patch.original);
    }
    if (library == nullptr) {
        SetLastError(error);
        return nullptr;
    }
    // The import address table itself, in case the loader bound anything past the export tables.
    const IMAGE_DATA_DIRECTORY& dir = Directory(library, IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (auto* d = AtRva<IMAGE_IMPORT_DESCRIPTOR>(library, dir.VirtualAddress); d->Name != 0; ++d) {
        const char* dll = AtRva<const char>(library, d->Name);
        auto* names = AtRva<IMAGE_THUNK_DATA>(library, d->OriginalFirstThunk);
        auto* bound = AtRva<IMAGE_THUNK_DATA>(library, d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const char* name = reinterpret_cast<const char*>(
                AtRva<IMAGE_IMPORT_BY_NAME>(library, static_cast<DWORD>(names->u1.AddressOfData))
                    ->Name);
            for (std::size_t i = 0; i < g_stubCount; ++i) {
                if (g_stubs[i].name == name && _stricmp(g_stubs[i].dll.c_str(), dll) == 0) {
                    WriteProtected(&bound->u1.Function,
                                   static_cast<decltype(bound->u1.Function)>(
                                       reinterpret_cast<std::uintptr_t>(g_stubs[i].code)));
                }
            }
        }
    }
    return library;
}

void ImportFaults::Arm(std::string_view name, std::uint32_t k) {
    LONG index = -1;
    for (std::size_t i = 0; i < g_stubCount; ++i) {
        if (g_stubs[i].name == name) {
            index = static_cast<LONG>(i);
        }
    }
    InterlockedExchange(&g_armedStub, -1);
    InterlockedExchange(&g_fired, 0);
    InterlockedExchange(&g_armedCall, static_cast<LONG>(k));
    InterlockedExchange(&g_armedStub, k == 0 ? -1 : index);
    if (k != 0 && index < 0) {
        throw std::runtime_error("no stub for " + std::string(name));
    }
}

bool ImportFaults::Fired() const {
    return g_fired != 0;
}

const ImportFailure* ImportFaults::Armed() const {
    const LONG index = g_armedStub;
    return index >= 0 ? g_stubs[index].failure : nullptr;
}

std::vector<std::pair<std::string, std::uint32_t>> ImportFaults::Counts() const {
    std::vector<std::pair<std::string, std::uint32_t>> counts;
    for (std::size_t i = 0; i < g_stubCount; ++i) {
        counts.emplace_back(g_stubs[i].name, static_cast<std::uint32_t>(g_stubs[i].calls));
    }
    return counts;
}

} // namespace drvtest
