// The library as hosts built with Microsoft's compiler meet it. Both hosts are built with clang in
// Microsoft's C++ ABI, import the library through its Microsoft-format import library, and run in
// a child process from the tree's bin folder, beside the library, as installed hosts do:
// conformance_host.exe checks every operation of the boundary, example_host.exe is the example of
// docs/host-integration.md.
#include "support/child_process.h"
#include "support/test_tree.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using drvtest::ChildResult;
using drvtest::TestTree;

namespace {

// Installs a host program of the build into the tree's bin folder and runs it there.
ChildResult RunHostInTree(TestTree& tree, const std::wstring& program,
                          const std::vector<std::wstring>& arguments,
                          const std::vector<std::wstring>& environment = {}) {
    tree.CopyBuilt(program, L"bin\\" + program);
    return drvtest::RunChild(tree.Path(L"bin\\" + program), arguments, environment);
}

std::string Missing(const std::string& output, std::initializer_list<const char*> lines) {
    std::string missing;
    for (const char* line : lines) {
        if (output.find(line) == std::string::npos) {
            missing += std::string(line) + "\n";
        }
    }
    return missing;
}

// The example's transfers answer from the stand-in engine's default script, which finishes at
// the first query.
const std::vector<std::wstring> kScriptedEngine = {L"STANDIN_TRANSFERS=scripted"};
constexpr wchar_t kUrl[] = L"http://127.0.0.1:9/drivers/phone.zip";

} // namespace

TEST(Conformance, MicrosoftAbiHostPassesEveryCheckOfTheBoundary) {
    TestTree tree;
    tree.InstallLibrary();
    tree.InstallEngine();
    tree.CopyBuilt(L"Tolvek_unloadable.dll", L"Tolvek_unloadable.dll");

    const ChildResult run = RunHostInTree(tree, L"conformance_host.exe", {tree.Root()});

    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.output.find("FAILED"), std::string::npos) << run.output;
    // The host stops early when it cannot get going; these lines show that every part ran.
    EXPECT_EQ(
        Missing(run.output,
                {"ok: CreateInstance(1002) refuses and writes the version 1001",
                 "ok: progress record: name at 0, status values at 1024, context at 1052",
                 "ok: success record: name at 0, target path at 1024, context at 5120",
                 "ok: failure record:", "ok: a cancelled task sends no notification",
                 "ok: DownloadNow transfers the URL", "ok: no notification comes after Uninit",
                 "ok: Release from inside OnNotify returns",
                 "ok: GetProcAddress and the import library agree on the exports",
                 "ok: Init throws the engine-load exception, caught as const wchar_t*",
                 "ok: DownLoadFile throws the engine-load exception, caught as void*",
                 "0 check(s) failed"}),
        "")
        << run.output;
}

TEST(Conformance, ExampleHostDownloadsAndReportsEveryOutcome) {
    TestTree tree;
    tree.InstallLibrary();
    tree.MakeDir(L"downloads");
    const std::wstring target = tree.Path(L"downloads\\driver.zip");

    // No engine file: Init returns 0.
    ChildResult run = RunHostInTree(tree, L"example_host.exe", {kUrl, target}, kScriptedEngine);
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(run.output.find("the engine could not be initialised"), std::string::npos)
        << run.output;

    // An engine file Windows cannot load: Init throws, and the example catches it.
    tree.InstallEngine(L"Tolvek_unloadable.dll");
    run = RunHostInTree(tree, L"example_host.exe", {kUrl, target}, kScriptedEngine);
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(run.output.find("the engine could not be loaded: can not load tolvek.dll"),
              std::string::npos)
        << run.output;

    tree.InstallEngine();
    run = RunHostInTree(tree, L"example_host.exe", {kUrl, target}, kScriptedEngine);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    // The host prints the path with printf("%ls").
    const std::string expected = "phone-driver: succeeded, " + drvtest::Narrow(target);
    EXPECT_NE(run.output.find(expected), std::string::npos) << run.output;
}
