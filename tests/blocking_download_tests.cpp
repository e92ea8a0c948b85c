// DownLoadFile as a host calls it: the library and the stand-in engine in a fresh tree. How each
// engine behaviour ends it is in engine_behaviour_tests.cpp.
#include "support/child_process.h"
#include "support/downloader_fixture.h"
#include "support/timing.h"

#include <string>

using namespace drvtest;

namespace {

using StopEventFn = HANDLE (*)();

class DownLoadFileTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTree(); }
};

// The library's probe copy, which also exports its module stop event.
class DownLoadFileThroughTheProbeTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTree(L"Tolvek.dll", L"DrvDownProbe.dll"); }
};

class DownLoadFileWithImportFaultsTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTreeWithImportFaults(); }
};

} // namespace

TEST_F(DownLoadFileTest, QueriesAboutEveryTwoHundredMillisecondsWhileRunningOrUnanswered) {
    Engine().PushScript({QueryStep(standin::kStateConnecting), FalseQueryStep(2),
                         QueryStep(standin::kStateReceiving), QueryStep(standin::kStateFinishing),
                         QueryStep(standin::kStateFinished)});
    const DWORD begin = GetTickCount();
    EXPECT_EQ(downLoadFile(kUrl, Target().c_str()), 1);
    const DWORD elapsed = GetTickCount() - begin;

    const auto queries = Engine().Calls("PPQueryTaskEx");
    ASSERT_EQ(queries.size(), 6u);
    const DWORD start = Engine().Calls("PPStartTaskEx").at(0).tickCalled;
    DWORD previous = start;
    std::vector<DWORD> gaps;
    for (const EngineCall& query : queries) {
        gaps.push_back(query.tickCalled - previous);
        EXPECT_GE(gaps.back(), AtLeast(kBlockingPollIntervalMs));
        previous = query.tickCalled;
    }
    // A late thread stretches a gap or two; a wrong interval moves the median.
    EXPECT_LE(Median(gaps), MedianAtMost(kBlockingPollIntervalMs));
    EXPECT_GE(elapsed, AtLeast(static_cast<DWORD>(queries.size()) * kBlockingPollIntervalMs));
}

TEST_F(DownLoadFileTest, MissingTargetFolderOrBareNameFailsBeforeTheEngineIsLookedFor) {
    // A damaged engine would end the process if it were looked for at all.
    std::string engine = tree.ReadFile(L"Tolvek.dll");
    engine[engine.size() - 1] ^= 0x5A;
    tree.WriteFile(L"damaged.dll", engine);
    Engine().Reset();
    FreeLibrary(Engine().Module());
    ASSERT_TRUE(MoveFileExW(tree.Path(L"damaged.dll").c_str(), EnginePath().c_str(),
                            MOVEFILE_REPLACE_EXISTING));

    EXPECT_EQ(downLoadFile(kUrl, tree.Path(L"missing\\pkg.zip").c_str()), 0);
    EXPECT_EQ(downLoadFile(kUrl, L"pkg.zip"), 0);
    EXPECT_FALSE(tree.Exists(L"missing"));
    LoadLibraryW(EnginePath().c_str()); // balance the tree's own FreeLibrary
}

TEST_F(DownLoadFileTest, NullArgumentsYieldZeroAndTouchNothing) {
    tree.WriteFile(L"out\\pkg.zip", "old");
    EXPECT_EQ(downLoadFile(nullptr, Target().c_str()), 0);
    EXPECT_EQ(downLoadFile(kUrl, nullptr), 0);
    EXPECT_EQ(tree.ReadFile(L"out\\pkg.zip"), "old");
    EXPECT_EQ(Engine().LogCount(), 0u);
}

TEST_F(DownLoadFileThroughTheProbeTest, SignalledStopEventRemovesAndClosesTheTransfer) {
    HANDLE stop = GetProc<StopEventFn>(GetModuleHandleW(LibraryPath().c_str()), "ProbeStopEvent")();
    ASSERT_NE(stop, nullptr);
    SetEvent(stop);
    Engine().PushScript({QueryStep(standin::kStateConnecting, 0)});
    EXPECT_EQ(downLoadFile(kUrl, Target().c_str()), 0);
    EXPECT_EQ(NamesOf(Engine().Log()),
              (Names{"PPInit2", "PPStartTaskEx", "PPRemoveTask", "PPCloseHandle", "PPClose"}));
    const uint32_t handle = Engine().Entry(1).handle;
    EXPECT_EQ(Engine().Entry(2).handle, handle);
    EXPECT_EQ(Engine().Entry(3).handle, handle);
}

// A standard user's system refuses to register a file for deletion at the next restart
// (ERROR_ACCESS_DENIED), so the put-aside file stays until the next download of the target.
TEST_F(DownLoadFileWithImportFaultsTest,
       ReadOnlyTargetIsReplacedAgainWhenNoRestartDeletedItsPutAsideFile) {
    Engine().UseRealTransfers();
    const std::wstring url = L"file:///" + tree.Path(L"source.bin");
    tree.WriteFile(L"out\\pkg.zip", "package 0");
    for (std::uint32_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        const std::string package = "package " + std::to_string(round);
        tree.WriteFile(L"source.bin", package);
        // Read-only: the target can be renamed aside but not deleted.
        ASSERT_TRUE(SetFileAttributesW(Target().c_str(), FILE_ATTRIBUTE_READONLY));
        Faults().Arm("MoveFileExW", round);

        EXPECT_EQ(downLoadFile(url.c_str(), Target().c_str()), 1);
        EXPECT_TRUE(Faults().Fired()) << "the old target was not put aside";
        EXPECT_EQ(tree.ReadFile(L"out\\pkg.zip"), package);
        EXPECT_EQ(tree.ReadFile(L"out\\~pkg.zip"), "package " + std::to_string(round - 1));
        EXPECT_EQ(tree.FilesIn(L"out"), (std::vector<std::wstring>{L"pkg.zip", L"~pkg.zip"}));
    }
}

TEST_F(DownLoadFileTest, LongTargetTestsItsWholeFolder) {
    // The folder's name runs past 260 characters; "out", where a cut copy of the path would end,
    // exists, the folder itself not yet.
    const std::wstring prefix = tree.Path(L"out\\");
    const std::wstring folder = prefix + std::wstring(300 - prefix.size(), L'd');
    const std::wstring target = folder + L"\\pkg.zip";
    EXPECT_EQ(downLoadFile(kUrl, target.c_str()), 0);
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 0u);

    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    EXPECT_EQ(downLoadFile(kUrl, target.c_str()), 1);
    ASSERT_EQ(Engine().CallCount("PPStartTaskEx"), 1u);
    EXPECT_EQ(Engine().Calls("PPStartTaskEx").at(0).text2, target);

    // A target longer than a task record holds is refused, never cut to a shorter one.
    const std::wstring overlong = prefix + std::wstring(MOBILEDRV_TEXT_CHARS, L'x');
    EXPECT_EQ(downLoadFile(kUrl, overlong.c_str()), 0);
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 1u);
}

TEST(DownLoadFileTamperedEngine, EndsTheProcessWithTheDocumentedCodeAndNeverLoadsIt) {
    TestTree tree;
    tree.InstallLibrary();
    tree.InstallEngine();
    tree.MakeDir(L"out");
    // Flip one byte of padding at the end: still a loadable image, but not the trusted file.
    std::string engine = tree.ReadFile(L"Tolvek.dll");
    engine[engine.size() - 1] ^= 0x01;
    tree.WriteFile(L"Tolvek.dll", engine);
    const std::wstring loadLog = tree.Path(L"engine-loads.txt");

    const auto download = [&] {
        return RunChild(BuildDir() + L"\\library_child.exe",
                        {tree.Path(L"bin\\MobileDrvDown.dll"), L"downloadfile", kUrl,
                         tree.Path(L"out\\pkg.zip")},
                        {L"STANDIN_LOAD_LOG=" + loadLog, L"STANDIN_TRANSFERS=scripted"});
    };
    const ChildResult child = download();
    EXPECT_EQ(child.exitCode, 0xE0DD0001u) << child.output;
    EXPECT_NE(child.output.find("damaged"), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("result"), std::string::npos) << "DownLoadFile returned";
    EXPECT_FALSE(tree.Exists(L"engine-loads.txt")) << tree.ReadFile(L"engine-loads.txt");

    // The untouched engine, for comparison, is loaded and logged by the same child.
    tree.InstallEngine();
    const ChildResult good = download();
    EXPECT_EQ(good.exitCode, 1u) << good.output;
    EXPECT_TRUE(tree.Exists(L"engine-loads.txt"));
}
