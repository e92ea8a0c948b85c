// The engine-load exception as hosts meet it: exception_host.exe (clang, Microsoft's C++ ABI)
// calls DownLoadFile in a child process and catches what leaves it; and the two ways the guide
// shows for hosts that go on after it, a `catch` in Microsoft's ABI (engine_load_catch.dll) and
// the MinGW handler of docs/engine_load_error_mingw.h, are put through the same checks here.
#include "engine_load_error_mingw.h"
#include "support/child_process.h"
#include "MobileDrvDownHost.h"
#include "support/process_handles.h"
#include "support/recording_callback.h"
#include "support/test_tree.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
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

namespace {

// Makes the call `call(context)`; 1 when it returned, with its result; 0 when the library raised
// the engine-load exception instead, with the message.
using CatchingCallFn = int(__cdecl*)(int(__cdecl* call)(void*), void* context, int* result,
                                     wchar_t* message, int capacity);

int __cdecl CatchWithMinGwHandler(int(__cdecl* call)(void*), void* context, int* result,
                                  wchar_t* message, int capacity) {
    wchar_t text[engine_load_error::kMessageChars];
    const bool returned = CallCatchingEngineLoadError([&] { *result = call(context); }, text);
    lstrcpynW(message, text, capacity);
    return returned ? 1 : 0;
}

// One way of catching: the guide's MinGW handler, or the export of a DLL (built in the build
// folder) that catches in Microsoft's ABI.
struct CatchingWay {
    const char* name;
    CatchingCallFn mingw;
    const wchar_t* dll;
};

const CatchingWay kCatchingWays[] = {
    {"MinGwHandler", &CatchWithMinGwHandler, nullptr},
    {"MicrosoftAbiCatch", nullptr, L"engine_load_catch.dll"},
};

struct Calls {
    mobiledrv::DownLoadFileFn downLoadFile = nullptr;
    drvtest::RecordingCallback callback;
    mobiledrv::unique_downloader downloader; // released before its callback goes
    std::wstring url;
    std::wstring target;

    static int __cdecl Download(void* calls) {
        auto* self = static_cast<Calls*>(calls);
        return self->downLoadFile(self->url.c_str(), self->target.c_str());
    }
    static int __cdecl Init(void* calls) {
        auto* self = static_cast<Calls*>(calls);
        return self->downloader->Init(&self->callback);
    }
};

void PrintTo(const CatchingWay& way, std::ostream* out) {
    *out << way.name;
}

class EngineLoadCatch : public testing::TestWithParam<CatchingWay> {};

} // namespace

// The guide promises of both ways: the host's thread goes on after the call with the message;
// nothing of the failed call stays behind (handles, threads, the engine module, a reference to
// the library); and the same calls succeed once a loadable engine is in place.
TEST_P(EngineLoadCatch, LeavesNothingBehindAndTheNextCallSucceeds) {
    TestTree tree;
    tree.InstallLibrary();
    tree.InstallEngine(L"Tolvek_unloadable.dll");
    tree.WriteFile(L"package.bin", "the driver package");
    const std::wstring libraryPath = tree.Path(L"bin\\MobileDrvDown.dll");
    unique_hmodule library(LoadLibraryW(libraryPath.c_str()));
    ASSERT_TRUE(library);
    unique_hmodule catcherDll;
    CatchingCallFn catching = GetParam().mingw;
    if (GetParam().dll != nullptr) {
        catcherDll.reset(LoadLibraryW((drvtest::BuildDir() + L"\\" + GetParam().dll).c_str()));
        ASSERT_TRUE(catcherDll);
        catching =
            drvtest::GetProc<CatchingCallFn>(catcherDll.get(), "CallCatchingEngineLoadError");
    }
    ASSERT_NE(catching, nullptr);
    Calls calls;
    calls.downLoadFile = drvtest::GetProc<mobiledrv::DownLoadFileFn>(library.get(), "DownLoadFile");
    const auto createInstance =
        drvtest::GetProc<mobiledrv::CreateInstanceFn>(library.get(), "CreateInstance");
    ASSERT_TRUE(calls.downLoadFile != nullptr && createInstance != nullptr);
    calls.downloader.reset(createInstance(MOBILEDRV_INTERFACE_VERSION, nullptr));
    ASSERT_NE(calls.downloader.get(), nullptr);
    calls.url = L"file:///" + tree.Path(L"package.bin");
    calls.target = tree.Path(L"driver.zip");

    // The stand-in engine's own start-up code keeps a handle in the process at every load of its
    // file, failed ones included (a lock of its static runtime): measured here by one load of the
    // test's own, it may be left once for each failed call, and nothing else may.
    const std::map<std::wstring, int> before = drvtest::CountByType(drvtest::ProcessHandles());
    EXPECT_EQ(LoadLibraryW(tree.Path(L"Tolvek.dll").c_str()), nullptr);
    const int threads = drvtest::ThreadCount();
    const std::vector<drvtest::ProcessHandle> handles = drvtest::ProcessHandles();
    std::map<std::wstring, int> expected = drvtest::CountByType(handles);
    constexpr int kFailedCalls = 4;
    for (const auto& [type, count] : drvtest::CountByType(handles)) {
        expected[type] += kFailedCalls * (count - (before.contains(type) ? before.at(type) : 0));
    }

    for (int round = 0; round < kFailedCalls / 2; ++round) {
        for (auto* call : {&Calls::Download, &Calls::Init}) {
            int result = -1;
            wchar_t message[64] = L"";
            EXPECT_EQ(catching(call, &calls, &result, message, 64), 0) << "returned " << result;
            EXPECT_STREQ(message, L"can not load tolvek.dll");
        }
    }
    EXPECT_EQ(drvtest::ThreadCount(), threads);
    const std::vector<drvtest::ProcessHandle> after = drvtest::ProcessHandles();
    EXPECT_EQ(drvtest::CountByType(after), expected)
        << "changes: " << drvtest::HandleChanges(handles, after);
    EXPECT_EQ(GetModuleHandleW(tree.Path(L"Tolvek.dll").c_str()), nullptr);

    tree.InstallEngine();
    for (auto* call : {&Calls::Download, &Calls::Init}) {
        int result = -1;
        wchar_t message[64] = L"";
        EXPECT_EQ(catching(call, &calls, &result, message, 64), 1) << drvtest::Narrow(message);
        EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(tree.ReadFile(L"driver.zip"), "the driver package");
    calls.downloader.reset();
    // The test's own reference was the only one: the failed calls left none.
    library.reset();
    EXPECT_EQ(GetModuleHandleW(libraryPath.c_str()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Hosts, EngineLoadCatch, testing::ValuesIn(kCatchingWays),
                         [](const testing::TestParamInfo<CatchingWay>& info) {
                             return std::string(info.param.name);
                         });
