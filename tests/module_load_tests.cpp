// The module as a host loads it: from its own folder, with its module-wide objects.
#include "support/child_process.h"
#include "MobileDrvDownHost.h"
#include "support/import_faults.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <cstdint>

using drvtest::BuildDir;
using drvtest::GetProc;
using drvtest::ImportFaults;
using drvtest::RunChild;
using drvtest::TestTree;
using mobiledrv::ExtractZipFileFn;

namespace {

using ModuleDirFn = const wchar_t* (*)();
using StopEventFn = HANDLE (*)();

} // namespace

TEST(ModuleLoad, StoresTheLibrarysOwnFolderWithoutTrailingBackslash) {
    TestTree tree;
    tree.InstallLibrary(L"DrvDownProbe.dll");
    HMODULE module = tree.LoadLibraryFromTree();
    auto moduleDir = GetProc<ModuleDirFn>(module, "ProbeModuleDir");
    ASSERT_NE(moduleDir, nullptr);
    EXPECT_EQ(lstrcmpiW(moduleDir(), tree.Bin().c_str()), 0)
        << "module dir: " << testing::PrintToString(std::wstring(moduleDir()));
}

TEST(ModuleLoad, EachLoadedCopyHasItsOwnUnsignalledManualResetStopEvent) {
    TestTree first;
    TestTree second;
    first.InstallLibrary(L"DrvDownProbe.dll");
    second.InstallLibrary(L"DrvDownProbe.dll");
    HANDLE stopA = GetProc<StopEventFn>(first.LoadLibraryFromTree(), "ProbeStopEvent")();
    HANDLE stopB = GetProc<StopEventFn>(second.LoadLibraryFromTree(), "ProbeStopEvent")();
    ASSERT_NE(stopA, nullptr);
    ASSERT_NE(stopB, nullptr);
    EXPECT_NE(stopA, stopB);
    EXPECT_EQ(WaitForSingleObject(stopA, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Manual reset: once signalled it stays signalled for every waiter.
    SetEvent(stopA);
    EXPECT_EQ(WaitForSingleObject(stopA, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(stopA, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(stopB, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(ModuleLoad, UnloadClosesTheStopEvent) {
    TestTree tree;
    tree.InstallLibrary(L"DrvDownProbe.dll");
    HMODULE module = LoadLibraryW(tree.Path(L"bin\\MobileDrvDown.dll").c_str());
    ASSERT_NE(module, nullptr);
    HANDLE stop = GetProc<StopEventFn>(module, "ProbeStopEvent")();
    ASSERT_NE(stop, nullptr);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(stop, &flags));
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(GetHandleInformation(stop, &flags)) << "the stop event outlived the module";
}

TEST(ModuleLoad, ShippedLibraryExportsExtractZipFileUndecorated) {
    TestTree tree;
    tree.InstallLibrary();
    HMODULE module = tree.LoadLibraryFromTree();
    auto extract = GetProc<ExtractZipFileFn>(module, "ExtractZipFile");
    ASSERT_NE(extract, nullptr);
    EXPECT_EQ(extract(nullptr, nullptr), 1);
    EXPECT_EQ(extract(L"a.zip", L"C:\\out"), 1);
    EXPECT_EQ(GetProcAddress(module, "ProbeModuleDir"), nullptr);
}

// A library path of MAX_PATH characters or more (a host that is long-path aware, a \\?\ load)
// comes back from GetModuleFileNameW cut at the capacity: the folder taken from it is not the
// library's, and no engine would ever be found.
TEST(ModuleLoad, CutLibraryPathFailsTheLoadInsteadOfLookingInAWrongFolder) {
    TestTree tree;
    tree.InstallLibrary();
    ImportFaults faults(tree.Path(L"bin\\MobileDrvDown.dll"));
    faults.Arm("GetModuleFileNameW", 1);
    const unique_hmodule cut(faults.Load());
    const DWORD error = GetLastError();
    ASSERT_TRUE(faults.Fired());
    EXPECT_FALSE(cut) << "loaded with a cut path";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DLL_INIT_FAILED));

    // The same file loads when its path comes back whole.
    faults.Disarm();
    EXPECT_TRUE(unique_hmodule(faults.Load()));
}

TEST(ModuleLoad, EachLoadedCopyDrawsItsOwnStackCanary) {
    using CanaryFn = std::uintptr_t (*)();
    TestTree first;
    TestTree second;
    first.InstallLibrary(L"DrvDownProbe.dll");
    second.InstallLibrary(L"DrvDownProbe.dll");
    const std::uintptr_t a = GetProc<CanaryFn>(first.LoadLibraryFromTree(), "ProbeStackCanary")();
    const std::uintptr_t b = GetProc<CanaryFn>(second.LoadLibraryFromTree(), "ProbeStackCanary")();
    EXPECT_NE(a, 0u) << "the canary was never drawn";
    EXPECT_NE(a, b);
}

// As /GS ends it: at once, with STATUS_STACK_BUFFER_OVERRUN; neither the code after the call nor
// the child's unhandled-exception filter (which would print "exception ...") runs.
TEST(ModuleLoad, AChangedStackCanaryEndsTheProcessAtOnce) {
    TestTree tree;
    tree.InstallLibrary(L"DrvDownProbe.dll");
    const drvtest::ChildResult child =
        RunChild(BuildDir() + L"\\library_child.exe",
                 {tree.Path(L"bin\\MobileDrvDown.dll"), L"call", L"ProbeBreakStackCanary"});
    EXPECT_EQ(child.exitCode, STATUS_STACK_BUFFER_OVERRUN) << child.output;
    EXPECT_EQ(child.output, "");
}
