// Failure injection for the imports of a DLL under test: every import with a failure entry is
// routed through a counting stub, so that the k-th call of one import can be made to fail with
// that function's documented failure, also while the DLL loads (its start-up code, TLS callbacks
// and DllMain).
//
// How the stubs reach load-time calls: before LoadLibraryW, the export table entry of each such
// function in its (already loaded) system DLL is pointed at the stub, so the loader fills the
// library's import address table with the stubs; after the load the export tables are restored,
// so DLLs loaded later (the engine) bind to the real functions. The library's import address
// table is then written once more with the stubs, whatever the loader did.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drvtest {

// What a failing call of an import does. Either `excluded` says why the import is never failed,
// or the failure fields say what the stub returns and sets.
struct ImportFailure {
    const char* name;
    int x86ArgBytes;   // bytes a stdcall function pops on x86; -1 for cdecl (the caller pops)
    intptr_t value;    // the failure result, pointer-sized
    DWORD lastError;   // SetLastError on failure; 0: left alone (NTSTATUS results)
    int errnoValue;    // errno on failure (C runtime functions); 0: left alone
    bool engineFileIo; // failing it means the engine file could not be opened, read or mapped
    const char* excluded = nullptr;
    // The failure result is this argument of the call (1 first; on x64 one of the first four)
    // rather than `value`: a function that reports a cut result by returning the capacity it was
    // given. 0: `value`.
    int resultArg = 0;
};

// The failure entry of an imported function by name; null when it has none.
const ImportFailure* FindImportFailure(std::string_view name);

struct ImportedFunction {
    std::string dll;  // as the import table names it
    std::string name; // empty for an import by ordinal
};

// The import table of a DLL file, read from the file itself.
std::vector<ImportedFunction> ReadImportTable(const std::wstring& dllPath);

// One instance per process: it leaves its stubs in the memory of the process for good, since the
// library's import table points at them for as long as the library is loaded.
class ImportFaults {
public:
    // Imports of `libraryPath` that have no failure entry at all go into Unclassified(); the
    // others are stubbed (or, when excluded, left alone).
    explicit ImportFaults(const std::wstring& libraryPath);
    ImportFaults(const ImportFaults&) = delete;
    ImportFaults& operator=(const ImportFaults&) = delete;

    const std::vector<std::string>& Unclassified() const { return unclassified_; }

    // LoadLibraryW of the library with the stubs in its import table (also for calls made while
    // it loads); null when the load failed.
    HMODULE Load();

    // Makes the `k`-th call (counted from the start, 1 first) of import `name` fail; 0: none.
    void Arm(std::string_view name, std::uint32_t k);
    void Disarm() { Arm({}, 0); }
    // Whether the armed failure has happened; the failure entry of the armed import.
    bool Fired() const;
    const ImportFailure* Armed() const;
    // Calls of each stubbed import so far, by name.
    std::vector<std::pair<std::string, std::uint32_t>> Counts() const;

private:
    std::wstring libraryPath_;
    std::vector<ImportedFunction> imports_;
    std::vector<std::string> unclassified_;
};

} // namespace drvtest
