// The image's load configuration and the Control Flow Guard pointers it names. The linker finds the
// record by its name, _load_config_used, points the image's load configuration directory at it and
// fills in what it alone knows: the table of valid call targets, its size and the guard flags.
//
// Every indirect call the compiler makes with guard checks (-mguard=cf) goes through one of two
// pointers: on x86 the call's target is first handed to the check function, on x64 the call itself
// is made through the dispatch function, the target in rax. A loader that enforces the guard writes
// its own functions into both pointers, which then end the process when a target is not in the
// table; before that, and on every system that does not enforce the guard (Wine among them), the
// image's own functions below let every call through.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

// The load configuration record of the PE format, up to the fields the linker checks; the Windows
// headers of the toolchain stop before the guard fields.
struct LoadConfiguration {
    DWORD size;
    DWORD timeDateStamp;
    WORD majorVersion;
    WORD minorVersion;
    DWORD globalFlagsClear;
    DWORD globalFlagsSet;
    DWORD criticalSectionDefaultTimeout;
    ULONG_PTR deCommitFreeBlockThreshold;
    ULONG_PTR deCommitTotalFreeThreshold;
    ULONG_PTR lockPrefixTable;
    ULONG_PTR maximumAllocationSize;
    ULONG_PTR virtualMemoryThreshold;
    ULONG_PTR processAffinityMask;
    DWORD processHeapFlags;
    WORD csdVersion;
    WORD dependentLoadFlags;
    ULONG_PTR editList;
    ULONG_PTR securityCookie;
    ULONG_PTR seHandlerTable;
    ULONG_PTR seHandlerCount;
    ULONG_PTR guardCFCheckFunctionPointer;
    ULONG_PTR guardCFDispatchFunctionPointer;
    ULONG_PTR guardCFFunctionTable;
    ULONG_PTR guardCFFunctionCount;
    // The guard flags (32 bits), then the code integrity record. C++ cannot cut an address to 32
    // bits in a constant, and the flags are the value of a linker symbol, so they are written as a
    // pointer-sized field: on x64 its upper half is the code integrity flags and catalog, both 0.
    ULONG_PTR guardFlags;
#if !defined(_WIN64)
    WORD codeIntegrityFlags;
    WORD codeIntegrityCatalog;
#endif
    DWORD codeIntegrityCatalogOffset;
    DWORD codeIntegrityReserved;
    ULONG_PTR guardAddressTakenIatEntryTable;
    ULONG_PTR guardAddressTakenIatEntryCount;
    ULONG_PTR guardLongJumpTargetTable;
    ULONG_PTR guardLongJumpTargetCount;
    ULONG_PTR dynamicValueRelocTable;
    ULONG_PTR chpeMetadataPointer;
    ULONG_PTR guardRFFailureRoutine;
    ULONG_PTR guardRFFailureRoutineFunctionPointer;
    DWORD dynamicValueRelocTableOffset;
    WORD dynamicValueRelocTableSection;
    WORD reserved2;
    ULONG_PTR guardRFVerifyStackPointerFunctionPointer;
    DWORD hotPatchTableOffset;
    DWORD reserved3;
    ULONG_PTR enclaveConfigurationPointer;
    ULONG_PTR volatileMetadataPointer;
    ULONG_PTR guardEHContinuationTable;
    ULONG_PTR guardEHContinuationCount;
};

// The offsets the PE format gives, x86 and x64.
constexpr bool kX64 = sizeof(void*) == 8;
static_assert(offsetof(LoadConfiguration, securityCookie) == (kX64 ? 88 : 60));
static_assert(offsetof(LoadConfiguration, guardCFCheckFunctionPointer) == (kX64 ? 112 : 72));
static_assert(offsetof(LoadConfiguration, guardFlags) == (kX64 ? 144 : 88));
static_assert(offsetof(LoadConfiguration, guardAddressTakenIatEntryTable) == (kX64 ? 160 : 104));
static_assert(offsetof(LoadConfiguration, guardLongJumpTargetTable) == (kX64 ? 176 : 112));
static_assert(offsetof(LoadConfiguration, guardEHContinuationCount) == (kX64 ? 272 : 168));
static_assert(sizeof(LoadConfiguration) == (kX64 ? 280 : 172));

} // namespace

extern "C" {

// The address of a symbol as a number, for the record's fields; a constant the linker fills in.
#define ADDRESS(symbol) reinterpret_cast<ULONG_PTR>(&(symbol))

// Defined by the linker: the tables as addresses, their sizes and the flags as the symbols' values
// (so their "addresses" are the numbers themselves).
extern const char __guard_fids_table[];
extern const char __guard_fids_count;
extern const char __guard_flags;
extern const char __guard_iat_table[];
extern const char __guard_iat_count;
extern const char __guard_longjmp_table[];
extern const char __guard_longjmp_count;
extern const char __guard_eh_cont_table[];
extern const char __guard_eh_cont_count;
#if !defined(_WIN64)
// The SafeSEH table; empty while the image is marked as registering no exception handlers.
extern const char __safe_se_handler_table[];
extern const char __safe_se_handler_count;
#endif

// The image's own check and dispatch functions, which let every call through. They keep every
// register: a guarded call passes its arguments beside the target.
__attribute__((naked)) void __fastcall GuardCheckNothing(const void* /*target*/) {
    __asm__("ret");
}
#if defined(_WIN64)
__attribute__((naked)) void GuardDispatchUnchecked() {
    __asm__("jmp *%rax");
}
#endif

// Read-only data (.00cfg goes into .rdata): only the loader writes them.
extern void(__fastcall* const __guard_check_icall_fptr)(const void*);
__attribute__((section(".00cfg"))) void(__fastcall* const __guard_check_icall_fptr)(const void*) =
    &GuardCheckNothing;
#if defined(_WIN64)
extern void (*const __guard_dispatch_icall_fptr)();
__attribute__((section(".00cfg"))) void (*const __guard_dispatch_icall_fptr)() =
    &GuardDispatchUnchecked;
#endif

// Fields not named are 0.
#pragma clang diagnostic ignored "-Wmissing-designated-field-initializers"
extern const LoadConfiguration _load_config_used;
const LoadConfiguration _load_config_used = {
    .size = sizeof(LoadConfiguration),
#if !defined(_WIN64)
    .seHandlerTable = ADDRESS(__safe_se_handler_table),
    .seHandlerCount = ADDRESS(__safe_se_handler_count),
#endif
    .guardCFCheckFunctionPointer = ADDRESS(__guard_check_icall_fptr),
#if defined(_WIN64)
    .guardCFDispatchFunctionPointer = ADDRESS(__guard_dispatch_icall_fptr),
#endif
    .guardCFFunctionTable = ADDRESS(__guard_fids_table),
    .guardCFFunctionCount = ADDRESS(__guard_fids_count),
    .guardFlags = ADDRESS(__guard_flags),
    .guardAddressTakenIatEntryTable = ADDRESS(__guard_iat_table),
    .guardAddressTakenIatEntryCount = ADDRESS(__guard_iat_count),
    .guardLongJumpTargetTable = ADDRESS(__guard_longjmp_table),
    .guardLongJumpTargetCount = ADDRESS(__guard_longjmp_count),
    .guardEHContinuationTable = ADDRESS(__guard_eh_cont_table),
    .guardEHContinuationCount = ADDRESS(__guard_eh_cont_count),
};

} // extern "C"
