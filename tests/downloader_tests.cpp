// The downloader's lifecycle and its blocking DownloadNow, through the library as hosts load it.
// How each engine behaviour ends a DownloadNow is in engine_behaviour_tests.cpp.
#include "support/downloader_fixture.h"
#include "support/host_thread.h"
#include "support/timing.h"
#include "support/wait.h"

#include <atomic>
#include <thread>

using namespace drvtest;

namespace {

class DownloaderTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTree(); }
};

} // namespace

TEST_F(DownloaderTest, FactoryWritesItsVersionAlwaysAndRefusesOnlyNewerHosts) {
    int version = 0;
    const unique_downloader current(createInstance(1001, &version));
    EXPECT_NE(current.get(), nullptr);
    EXPECT_EQ(version, 1001);

    version = 0;
    EXPECT_EQ(createInstance(1002, &version), nullptr);
    EXPECT_EQ(version, 1001);

    const unique_downloader zero(createInstance(0, nullptr));
    version = 0;
    const unique_downloader negative(createInstance(-5, &version));
    EXPECT_NE(zero.get(), nullptr);
    EXPECT_NE(negative.get(), nullptr);
    EXPECT_EQ(version, 1001);
    EXPECT_NE(zero, negative) << "each call creates its own downloader";
}

TEST_F(DownloaderTest, InitLoadsTheEngineOnceAndKeepsTheFirstCallback) {
    auto downloader = Create();
    EXPECT_EQ(downloader->Init(nullptr), 0);
    EXPECT_EQ(Engine().CallCount("PPInit2"), 0u);

    EXPECT_EQ(downloader->Init(&callback), 1);
    RecordingCallback other;
    EXPECT_EQ(downloader->Init(&other), 0);
    EXPECT_EQ(Engine().CallCount("PPInit2"), 1u);
    EXPECT_EQ(Engine().Counters().liveInstances, 1u);

    // The first callback stays: a task's notification goes there.
    auto record = TaskRecord(L"t", kUrl, Out(L"t.zip"));
    EXPECT_EQ(downloader->AddTask(&record), 1);
    EXPECT_TRUE(callback.WaitForFinals(1, 5000));
    EXPECT_TRUE(other.All().empty());
    downloader.reset();
    EXPECT_EQ(NamesOf(Engine().Log()).back(), "PPClose");
    EXPECT_TRUE(EngineLoadedOnlyByTest());
}

TEST_F(DownloaderTest, UninitUnloadsTheEngineAndInitWorksAgainAfterIt) {
    auto downloader = CreateReady();
    downloader->Uninit();
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u);
    EXPECT_EQ(Engine().Counters().liveInstances, 0u);
    EXPECT_LT(FastestOf(3, [&] { downloader->Uninit(); }), kWaitStepMs)
        << "an idle Uninit does not wait";
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u);

    EXPECT_EQ(downloader->Init(&callback), 1);
    EXPECT_EQ(Engine().CallCount("PPInit2"), 2u);
    EXPECT_EQ(downloader->DownloadNow(kUrl, Out(L"a.zip").c_str()), 1);
    // A task runs and notifies as on a fresh downloader: the shutdown before its Init is no
    // reason to end it.
    auto record = TaskRecord(L"again", kUrl, Out(L"again.zip"));
    EXPECT_EQ(downloader->AddTask(&record), 1);
    EXPECT_TRUE(callback.WaitForFinals(1, 5000)) << "a task added after Init again sent no end";
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 2u);
    downloader.reset();
    EXPECT_EQ(Engine().CallCount("PPClose"), 2u);
    EXPECT_TRUE(EngineLoadedOnlyByTest());
}

// Two host threads Init one downloader at once, and the engine refuses the instance of the one
// that is slower: its refusal leaves alone the engine the other Init installed, whose 1 stays
// true.
TEST_F(DownloaderTest, RefusedInitLeavesTheEngineOfAConcurrentInitInstalled) {
    auto downloader = Create();
    Engine().SetDelay("PPInit2", INFINITE);
    std::atomic<int> refused{-1};
    HostThread slower([&] { refused = downloader->Init(&callback); });
    ASSERT_TRUE(Engine().WaitForCalls("PPInit2", 1, 5000));
    Engine().SetDelay("PPInit2", 0);
    EXPECT_EQ(downloader->Init(&callback), 1);
    Engine().SetInitResult(false);
    Engine().ReleaseDelays();
    slower.Join();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u) << "the refused Init closed the installed engine";
    EXPECT_EQ(Engine().Counters().liveInstances, 1u);
    EXPECT_EQ(downloader->DownloadNow(kUrl, Out(L"a.zip").c_str()), 1);
}

// An Init that installs its instance while a shutdown of the same downloader still waits returns
// 0, and the downloader has no engine once the shutdown has returned.
TEST_F(DownloaderTest, InitDuringAShutdownReturnsZeroAndInstallsNothing) {
    auto downloader = Create();
    const unique_handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(go);
    std::atomic<int> result{-1};
    // Both threads run before the hold below, which holds every thread that starts meanwhile.
    Engine().SetDelay("PPInit2", INFINITE);
    HostThread init([&] { result = downloader->Init(&callback); });
    std::atomic<bool> started{false};
    HostThread shutDown([&] {
        started = true;
        WaitForSingleObject(go.get(), INFINITE);
        downloader->Uninit();
    });
    ASSERT_TRUE(Engine().WaitForCalls("PPInit2", 1, 5000));
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }, 5000));
    // A task whose worker is held before its first instruction keeps the shutdown waiting.
    Engine().SetDelay(kStandInThreadAttach, INFINITE);
    auto record = TaskRecord(L"held", kUrl, Out(L"held.zip"));
    const int added = downloader->AddTask(&record);
    SetEvent(go.get());
    // The shutdown has begun once it has emptied the list.
    const bool begun = WaitUntil([&] { return downloader->CancelTask(L"held") == 0; }, 5000);
    Engine().ReleaseDelay("PPInit2");
    // The Init has installed its instance (and returned) or refused it (and closes it).
    const bool decided =
        WaitUntil([&] { return result != -1 || Engine().CallCount("PPClose") > 0; }, 5000);
    Engine().ReleaseDelays();
    init.Join();
    shutDown.Join();

    EXPECT_EQ(added, 1);
    EXPECT_TRUE(begun);
    EXPECT_TRUE(decided);
    EXPECT_EQ(result.load(), 0) << "Init took an engine during the shutdown";
    EXPECT_EQ(downloader->DownloadNow(kUrl, Out(L"a.zip").c_str()), 0);
    EXPECT_EQ(Engine().Counters().liveInstances, 0u);
}

TEST_F(DownloaderTest, ReleaseWithoutUninitCancelsTasksAndUnloadsTheEngine) {
    auto downloader = CreateReady();
    Engine().SetDefaultScript({QueryStep(5, 0)});
    auto a = TaskRecord(L"a", kUrl, Out(L"a.zip"));
    auto b = TaskRecord(L"b", kUrl, Out(L"b.zip"));
    ASSERT_EQ(downloader->AddTask(&a), 1);
    ASSERT_EQ(downloader->AddTask(&b), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPStartTaskEx", 2, 3000));
    downloader.reset();

    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 2u);
    EXPECT_EQ(Engine().CallCount("PPCloseHandle"), 2u);
    EXPECT_EQ(Engine().Counters().liveHandles, 0u);
    EXPECT_EQ(NamesOf(Engine().Log()).back(), "PPClose");
    EXPECT_TRUE(EngineLoadedOnlyByTest());
}

TEST_F(DownloaderTest, DownloadNowChecksItsArgumentsAndTheFolderBeforeAskingTheEngine) {
    auto downloader = CreateReady();
    const uint32_t before = Engine().LogCount();
    EXPECT_EQ(downloader->DownloadNow(kUrl, tree.Path(L"missing\\a.zip").c_str()), 0);
    EXPECT_EQ(downloader->DownloadNow(kUrl, L"a.zip"), 0);
    EXPECT_EQ(downloader->DownloadNow(nullptr, Out(L"a.zip").c_str()), 0);
    EXPECT_EQ(downloader->DownloadNow(kUrl, nullptr), 0);
    EXPECT_EQ(Engine().LogCount(), before) << "the engine was asked";
}

// A host shutting a downloader down from another thread ends its DownloadNow on a transfer that
// would run for a long time: the transfer is removed, then closed, the result is 0, and the
// engine instance is closed by the shutdown only after that. (Were the download not ended, it
// would return 1 when the transfer finishes, 25 s later.)
TEST_F(DownloaderTest, UninitOrReleaseOnAnotherThreadEndsARunningDownloadNow) {
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release ? "Release" : "Uninit");
        auto downloader = CreateReady();
        Engine().PushScript({QueryStep(6, 125), QueryStep(1)});
        int result = -1;
        std::thread blocking(
            [&] { result = downloader->DownloadNow(kUrl, Out(L"a.zip").c_str()); });
        ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 2, 5000));
        const DWORD shutdownAt = GetTickCount();
        if (release) {
            downloader.reset();
        } else {
            downloader->Uninit();
        }
        const auto log = NamesOf(Engine().Log());
        blocking.join();

        EXPECT_EQ(result, 0);
        const uint32_t handle = Engine().Calls("PPStartTaskEx").at(0).handle;
        const auto remove = Engine().Calls("PPRemoveTask");
        ASSERT_EQ(remove.size(), 1u);
        EXPECT_EQ(remove[0].handle, handle);
        EXPECT_EQ(Engine().Calls("PPCloseHandle").at(0).handle, handle);
        // One poll step: far below the transfer's 25 s.
        EXPECT_LE(remove[0].tickCalled - shutdownAt, AtMost(kBlockingPollIntervalMs));
        // Read when the shutdown returned: the download had stopped using the engine by then.
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
                  (Names{"PPRemoveTask", "PPCloseHandle", "PPClose"}));
        if (!release) {
            // The downloader works again after Init; its next DownloadNow is not ended early.
            ASSERT_EQ(downloader->Init(&callback), 1);
            Engine().PushScript({QueryStep(5, 2), QueryStep(1)});
            EXPECT_EQ(downloader->DownloadNow(kUrl, Out(L"b.zip").c_str()), 1);
            downloader.reset();
        }
        Engine().Reset();
    }
    EXPECT_TRUE(EngineLoadedOnlyByTest());
}

TEST_F(DownloaderTest, DownloadNowRacingReleaseNeverUsesAnUnloadedEngine) {
    for (int round = 0; round < 4; ++round) {
        auto downloader = CreateReady();
        Engine().PushScript({QueryStep(5, 50), QueryStep(1)});
        int result = -1;
        std::thread blocking(
            [&] { result = downloader->DownloadNow(kUrl, Out(L"a.zip").c_str()); });
        ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 1, 3000));
        downloader.reset();
        blocking.join();
        // Release ended the download; the instance was closed only after the download's last
        // engine call had returned.
        EXPECT_EQ(result, 0);
        const auto log = Engine().Log();
        ASSERT_GE(log.size(), 2u);
        ASSERT_EQ(log.back().name, "PPClose");
        EXPECT_EQ(log[log.size() - 2].name, "PPCloseHandle");
        EXPECT_GE(log.back().tickCalled, log[log.size() - 2].tickReturned);
        EXPECT_EQ(Engine().Counters().liveInstances, 0u);
        Engine().Reset();
    }
    EXPECT_TRUE(EngineLoadedOnlyByTest());
}
