// The engine-load exception as a host built with Microsoft's compiler meets it: exception_host.exe
// (clang, Microsoft's C++ ABI) calls DownLoadFile in a child process and catches what leaves it.
#include "support/child_process.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using drvtest::TestTree;

namespace {

// Runs exception_host.exe on a tree's root.
drvtest::ChildResult RunExceptionHost(const std::wstring& root) {
    return drvtest::RunChild(drvtest::BuildDir() + L"\\exception_host.exe", {root});
}

// Runs exception_host.exe on the tree at `root` and checks that every call threw the engine-load
// exception, caught in every handler form, and that the target was left as it was.
void ExpectEngineLoadExceptionEveryTime(const std::wstring& root) {
    const std::filesystem::path target(root + L"\\driver.zip");
    std::ofstream(target, std::ios::binary) << "the previous package";
    const drvtest::ChildResult run = RunExceptionHost(root);

    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::string missing;
    for (const char* check :
         {"ok: catch (const wchar_t*)", "ok: catch (wchar_t*)", "ok: catch (void*)",
          "ok: catch (...)", "ok: the engine is not loaded afterwards"}) {
        if (run.output.find(check) == std::string::npos) {
            missing += std::string(check) + "\n";
        }
    }
    EXPECT_EQ(missing, "");
    // The exception leaves before the target is cleared.
    std::ifstream kept(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the previous package");
}

} // namespace

TEST(MsvcException, HostCatchesEngineLoadFailureInEveryHandlerForm) {
    TestTree tree;
    tree.InstallLibrary();
    tree.InstallEngine(L"Tolvek_unloadable.dll");
    ExpectEngineLoadExceptionEveryTime(tree.Root());
}

// An engine file that opens but cannot be read through shows no damage, only that it could not be
// read: it cannot be loaded, like a file that cannot be opened, and the host's process goes on (a
// damaged file would end it with MOBILEDRV_EXIT_ENGINE_DAMAGED). The build makes such a file:
// Tolvek.dll in tests/unreadable_engine is a link to /proc/self/mem, which opens like any file
// but fails every read at its start with an I/O error. (Wine ignores byte-range locks on reads,
// so a locked file would not do.)
TEST(MsvcException, EngineFileThatCannotBeReadThroughCannotBeLoadedAndIsNotDamaged) {
    const std::wstring root = drvtest::BuildDir() + L"\\..\\tests\\unreadable_engine";
    const std::wstring engine = root + L"\\Tolvek.dll";
    {
        // The premise, checked the way the library reads: the open succeeds, the read fails.
        const unique_hfile reader(CreateFileW(engine.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                              nullptr));
        ASSERT_TRUE(reader) << GetLastError();
        char bytes[4096];
        DWORD read = 0;
        const BOOL ok = ReadFile(reader.get(), bytes, sizeof bytes, &read, nullptr);
        ASSERT_FALSE(ok) << "the engine file could be read";
    }
    // The library goes into bin\ beside it, as in any tree.
    CreateDirectoryW((root + L"\\bin").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((drvtest::BuildDir() + L"\\MobileDrvDown.dll").c_str(),
                          (root + L"\\bin\\MobileDrvDown.dll").c_str(), FALSE));
    ExpectEngineLoadExceptionEveryTime(root);
}

TEST(MsvcException, NothingIsThrownWhenTheEngineFileIsMissing) {
    TestTree tree;
    tree.InstallLibrary();

    const drvtest::ChildResult run = RunExceptionHost(tree.Root());

    // DownLoadFile returns 0 every time, so every catch check of the host fails.
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(run.output.find("DownLoadFile returned"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("ok: catch (...)"), std::string::npos) << run.output;
}
