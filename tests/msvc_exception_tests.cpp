// The engine-load exception as a host built with Microsoft's compiler meets it: exception_host.exe
// (clang, Microsoft's C++ ABI) calls DownLoadFile in a child process and catches what leaves it.
#include "support/child_process.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>

using drvtest::TestTree;

namespace {

// Runs exception_host.exe on the tree's root.
drvtest::ChildResult RunExceptionHost(const TestTree& tree) {
    return drvtest::RunChild(drvtest::BuildDir() + L"\\exception_host.exe", {tree.Root()});
}

} // namespace

TEST(MsvcException, HostCatchesEngineLoadFailureInEveryHandlerForm) {
    TestTree tree;
    tree.InstallLibrary();
    tree.InstallEngine(L"Tolvek_unloadable.dll");
    tree.WriteFile(L"driver.zip", "the previous package");

    const drvtest::ChildResult run = RunExceptionHost(tree);

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
    EXPECT_EQ(tree.ReadFile(L"driver.zip"), "the previous package");
}

TEST(MsvcException, NothingIsThrownWhenTheEngineFileIsMissing) {
    TestTree tree;
    tree.InstallLibrary();

    const drvtest::ChildResult run = RunExceptionHost(tree);

    // DownLoadFile returns 0 every time, so every catch check of the host fails.
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(run.output.find("DownLoadFile returned"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("ok: catch (...)"), std::string::npos) << run.output;
}
