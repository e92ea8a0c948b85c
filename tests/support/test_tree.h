// A fresh folder tree per test case, laid out the way a host installs the library:
//   <root>\bin\MobileDrvDown.dll   the library (or a probe copy of it)
//   <root>\Tolvek.dll              the engine, beside the library's folder
// Loading the library from its own tree gives each case its own module-wide objects.
#pragma once

#include "base/unique_handle.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace drvtest {

// Folder of the running test program; every build output lies beside it.
std::wstring BuildDir();

class TestTree {
public:
    TestTree();
    ~TestTree();
    TestTree(const TestTree&) = delete;
    TestTree& operator=(const TestTree&) = delete;

    const std::wstring& Root() const { return root_; }
    std::wstring Bin() const { return root_ + L"\\bin"; }
    // Absolute path of `relative` inside the tree.
    std::wstring Path(std::wstring_view relative) const;

    // Copies a built file (by its name in the build folder) into the tree under `relative`.
    void CopyBuilt(std::wstring_view builtName, std::wstring_view relative);
    void InstallLibrary(std::wstring_view builtName = L"MobileDrvDown.dll") {
        CopyBuilt(builtName, L"bin\\MobileDrvDown.dll");
    }
    void InstallEngine(std::wstring_view builtName = L"Tolvek.dll") {
        CopyBuilt(builtName, L"Tolvek.dll");
    }

    // Loads bin\MobileDrvDown.dll from the tree; it is unloaded when the tree goes.
    HMODULE LoadLibraryFromTree();
    // Loads any file of the tree by full path; unloaded when the tree goes.
    HMODULE LoadFromTree(std::wstring_view relative);

    void WriteFile(std::wstring_view relative, std::string_view content) const;
    std::string ReadFile(std::wstring_view relative) const;
    bool Exists(std::wstring_view relative) const;
    // Names of the files and folders in folder `relative`, sorted; empty when it does not exist.
    std::vector<std::wstring> FilesIn(std::wstring_view relative) const;
    void MakeDir(std::wstring_view relative) const;

private:
    std::wstring root_;
    std::vector<unique_hmodule> loaded_;
};

// Typed GetProcAddress that fails the test when the export is missing.
template <class Fn>
Fn GetProc(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Removes a file or folder tree, read-only files included.
void RemoveTree(const std::wstring& path);

} // namespace drvtest
