// Engines that misbehave and hosts that shut down at awkward moments.
#include "support/child_process.h"
#include "support/downloader_fixture.h"
#include "support/host_thread.h"
#include "support/timing.h"
#include "support/wait.h"
#include "support/window_thread.h"

#include <algorithm>
#include <atomic>
#include <thread>

using namespace drvtest;

namespace {

class FaultTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTree(); }
    int Add(IMobileDrvDown& downloader, const std::wstring& name) {
        auto record = TaskRecord(name, kUrl, Out(name + L".zip"));
        return downloader.AddTask(&record);
    }
};

// The library's probe copy, which also exports its module stop event.
class FaultTestWithProbe : public FaultTest {
protected:
    void SetUp() override { SetUpTree(L"Tolvek.dll", L"DrvDownProbe.dll"); }
};

} // namespace

TEST_F(FaultTest, EngineCallsThatBlockForSecondsDelayButNeverBreakTheShutdown) {
    auto downloader = CreateReady();
    Engine().SetDefaultScript({QueryStep(5, 0)});
    Engine().SetDelay("PPStartTaskEx", 2500);
    ASSERT_EQ(Add(*downloader, L"slow"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPStartTaskEx", 1, 2000));

    const DWORD begin = GetTickCount();
    downloader->Uninit();
    const DWORD took = GetTickCount() - begin;
    EXPECT_TRUE(Engine().Calls("PPStartTaskEx").at(0).returned)
        << "Uninit did not wait for the worker inside the engine";
    EXPECT_LT(took, AtLeast(kShutdownWaitMs)) << "Uninit ran to its 10 s limit";
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 1u);
    EXPECT_EQ(Engine().CallCount("PPCloseHandle"), 1u);
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u);
    EXPECT_TRUE(callback.All().empty());
}

TEST_F(FaultTest, RandomStatesAndHugeHandlesAreReportedByTheirMeaning) {
    auto downloader = CreateReady();
    Engine().SetNextHandle(0xFFFFFFFE);
    const std::vector<int32_t> states = {1, -7, 0x7FFFFFFF, 9, 1, 4};
    for (std::size_t i = 0; i < states.size(); ++i) {
        Engine().PushScript({QueryStep(6), QueryStep(states[i])});
        ASSERT_EQ(Add(*downloader, L"t" + std::to_wstring(i)), 1);
    }
    ASSERT_TRUE(callback.WaitForFinals(states.size(), 8000));
    for (std::size_t i = 0; i < states.size(); ++i) {
        const auto mine = callback.For(L"t" + std::to_wstring(i));
        ASSERT_EQ(mine.size(), 2u);
        EXPECT_EQ(mine[0].kind, MOBILEDRV_NOTIFY_PROGRESS);
        EXPECT_EQ(mine[1].kind,
                  states[i] == 1 ? MOBILEDRV_NOTIFY_SUCCEEDED : MOBILEDRV_NOTIFY_FAILED)
            << "state " << states[i];
    }
    // The handles wrapped past zero and were used as given.
    std::vector<uint32_t> handles;
    for (const EngineCall& start : Engine().Calls("PPStartTaskEx")) {
        handles.push_back(start.handle);
    }
    EXPECT_EQ(handles.front(), 0xFFFFFFFEu);
    for (const EngineCall& query : Engine().Calls("PPQueryTaskEx")) {
        EXPECT_NE(std::find(handles.begin(), handles.end(), query.handle), handles.end());
    }
}

TEST_F(FaultTest, QueryThatNeverSucceedsKeepsPollingUntilCancelled) {
    auto downloader = CreateReady();
    Engine().PushScript({FalseQueryStep(0)});
    ASSERT_EQ(Add(*downloader, L"mute"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 3, 5000));
    EXPECT_TRUE(callback.All().empty());
    EXPECT_EQ(downloader->CancelTask(L"mute"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPCloseHandle", 1, 2000));
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 1u);
    downloader.reset();
    EXPECT_TRUE(callback.All().empty());
}

// Engine instances of other downloaders coming and going, refused or not, leave a running task of
// one downloader and a DownLoadFile beside them alone: each load's PPClose balances its own
// PPInit2, whatever that returned.
TEST_F(FaultTestWithProbe, InstancesComingAndGoingLeaveOtherInstancesAlone) {
    const HMODULE library = GetModuleHandleW(LibraryPath().c_str());
    auto downloader = CreateReady();
    Engine().PushScript({QueryStep(5, 2), QueryStep(1)});
    Engine().PushScript({QueryStep(5, 2), QueryStep(1)});
    ASSERT_EQ(Add(*downloader, L"kept"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPStartTaskEx", 1, 5000));
    // Both transfers wait inside a query while the other instances come and go.
    Engine().SetDelay("PPQueryTaskEx", INFINITE);
    int result = -1;
    const unique_handle returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread blocking([&] {
        result = downLoadFile(kUrl, Out(L"blocking.zip").c_str());
        SetEvent(returned.get());
    });
    ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 2, 5000));
    for (int i = 0; i < 3; ++i) {
        auto other = CreateReady();
        other->Uninit();
        Engine().SetInitResult(false);
        EXPECT_EQ(other->Init(&callback), 0);
        Engine().SetInitResult(true);
    }
    Engine().ReleaseDelays();

    EXPECT_TRUE(callback.WaitForFinals(1, 8000)) << "the running task was stopped";
    // A DownLoadFile whose transfer was stopped would poll for ever: the module's stop event
    // ends it then, with 0.
    if (WaitForSingleObject(returned.get(), 8000) != WAIT_OBJECT_0) {
        SetEvent(GetProc<HANDLE (*)()>(library, "ProbeStopEvent")());
    }
    blocking.join();
    const auto all = callback.All();
    downloader.reset();
    EXPECT_EQ(result, 1);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.back().kind, MOBILEDRV_NOTIFY_SUCCEEDED);
    EXPECT_EQ(Engine().CallCount("PPInit2"), 8u);
    EXPECT_EQ(Engine().CallCount("PPClose"), 8u);
    EXPECT_EQ(Engine().Counters().liveInstances, 0u);
}

// Release waits for the workers 10 s at most, but for notifications in progress without a bound:
// no OnNotify runs once it has returned, not even one that outlasts the workers' bound (by 3 s,
// which a busy machine does not make up for).
TEST_F(FaultTest, ReleaseWaitsForNotificationsInProgressOnOtherThreads) {
    auto downloader = CreateReady();
    std::atomic<int> inside{0};
    std::atomic<int> afterRelease{0};
    std::atomic<bool> released{false};
    std::atomic<DWORD> releaseBegan{0};
    callback.onNotify = [&](const Notification& n) {
        if (released) {
            ++afterRelease;
        }
        ++inside;
        if (n.name == L"n0") {
            while (releaseBegan == 0 || GetTickCount() - releaseBegan < kShutdownWaitMs + 3000) {
                Sleep(50);
            }
        } else {
            Sleep(400); // a slow host
        }
        --inside;
    };
    Engine().SetDefaultScript({QueryStep(5, 0)});
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(Add(*downloader, L"n" + std::to_wstring(i)), 1);
    }
    ASSERT_TRUE(callback.WaitUntil(
        [](const auto& all) {
            return all.size() >= 2 && std::any_of(all.begin(), all.end(),
                                                  [](const auto& n) { return n.name == L"n0"; });
        },
        4000));
    releaseBegan = GetTickCount();
    downloader.reset();
    released = true;
    EXPECT_EQ(inside.load(), 0) << "Release returned while OnNotify still ran";
    EXPECT_EQ(afterRelease.load(), 0);
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 4u);
}

TEST_F(FaultTest, CancelAndReleaseFromInsideOnNotifyDoNotDeadlock) {
    auto downloader = CreateReady();
    std::atomic<bool> done{false};
    callback.onNotify = [&](const Notification& n) {
        if (n.name == L"self" && !done.exchange(true)) {
            EXPECT_EQ(downloader->CancelTask(L"self"), 1);
            downloader.reset();
        }
    };
    Engine().SetDefaultScript({QueryStep(5, 0)});
    ASSERT_EQ(Add(*downloader, L"other"), 1);
    ASSERT_EQ(Add(*downloader, L"self"), 1);
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 6000));
    ASSERT_TRUE(Engine().WaitForCalls("PPClose", 1, 4000));
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 2u);
    EXPECT_EQ(Engine().CallCount("PPCloseHandle"), 2u);
}

// A host's window thread is inside Uninit, waiting for a worker the engine holds, when another
// thread sends it a message whose handler releases the downloader: the Uninit around that
// Release returns as usual once the worker ends, and the engine is closed once.
TEST_F(FaultTest, ReleaseInAMessageAnsweredDuringUninitLeavesThatUninitSound) {
    auto downloader = CreateReady();
    Engine().SetDefaultScript({QueryStep(5, 0)});
    ASSERT_EQ(Add(*downloader, L"held"), 1);
    Engine().SetDelay("PPQueryTaskEx", INFINITE);
    ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 1, 5000));
    IMobileDrvDown* const host = downloader.release();
    const unique_handle returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unique_handle releasing(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    WindowThread ui;
    ui.Post([&] {
        host->Uninit();
        SetEvent(returned.get());
    });
    // The Uninit waits for the held worker once it has emptied the list.
    ASSERT_TRUE(WaitUntil([&] { return host->CancelTask(L"held") == 0; }, 5000));
    HostThread sender([&] {
        ui.Send([&] {
            SetEvent(releasing.get());
            host->Release();
        });
    });
    ASSERT_EQ(WaitForSingleObject(releasing.get(), 5000), WAIT_OBJECT_0);
    Engine().ReleaseDelays();
    sender.Join();
    EXPECT_EQ(WaitForSingleObject(returned.get(), kShutdownWaitMs), WAIT_OBJECT_0)
        << "the Uninit did not return";
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u);
    EXPECT_EQ(Engine().Counters().liveInstances, 0u);
}

// A notification tells the host's window thread that its download is done with SendMessage, and
// the handler releases the downloader: the Release ends in its usual time, and so does the
// SendMessage of the notification it would otherwise wait for.
TEST_F(FaultTest, ReleaseInTheHandlerOfAMessageSentFromOnNotifyEnds) {
    WindowThread ui;
    IMobileDrvDown* const host = CreateReady().release();
    std::atomic<bool> released{false};
    std::atomic<bool> answered{false};
    std::atomic<DWORD> took{0};
    callback.onNotify = [&](const Notification& n) {
        if (n.kind == MOBILEDRV_NOTIFY_SUCCEEDED) {
            answered = ui.Send(
                [&] {
                    const DWORD begin = GetTickCount();
                    host->Release();
                    took = GetTickCount() - begin;
                    released = true;
                },
                kShutdownWaitMs + 5000);
        }
    };
    ASSERT_EQ(Add(*host, L"done"), 1);
    ASSERT_TRUE(WaitUntil([&] { return released.load(); }, kShutdownWaitMs * 2));
    EXPECT_TRUE(answered.load()) << "the notification's SendMessage was not answered";
    EXPECT_LT(took.load(), kShutdownWaitMs / 2);
    EXPECT_TRUE(Engine().WaitForCalls("PPClose", 1, 5000));
}

// Two downloaders release each other from inside their notifications, both at once: neither
// shutdown waits for the notification that runs the other, and both end in their usual time.
TEST_F(FaultTest, DownloadersReleasingEachOtherFromTheirNotificationsBothEnd) {
    Engine().SetDefaultScript({QueryStep(5, 0)});
    RecordingCallback otherCallback;
    unique_downloader a = CreateReady();
    unique_downloader b = Create();
    ASSERT_EQ(b->Init(&otherCallback), 1);
    const unique_handle inA(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unique_handle inB(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> released{0};
    std::atomic<bool> aOnce{false};
    std::atomic<bool> bOnce{false};
    callback.onNotify = [&](const Notification&) {
        if (!aOnce.exchange(true)) {
            SetEvent(inA.get());
            EXPECT_EQ(WaitForSingleObject(inB.get(), 10000), WAIT_OBJECT_0);
            b.reset();
            ++released;
        }
    };
    otherCallback.onNotify = [&](const Notification&) {
        if (!bOnce.exchange(true)) {
            SetEvent(inB.get());
            EXPECT_EQ(WaitForSingleObject(inA.get(), 10000), WAIT_OBJECT_0);
            a.reset();
            ++released;
        }
    };
    ASSERT_EQ(Add(*a, L"a"), 1);
    ASSERT_EQ(Add(*b, L"b"), 1);
    ASSERT_EQ(WaitForSingleObject(inA.get(), 5000), WAIT_OBJECT_0);
    const DWORD begin = GetTickCount();
    EXPECT_TRUE(WaitUntil([&] { return released == 2; }, kShutdownWaitMs * 2))
        << "the releases did not end";
    EXPECT_LT(GetTickCount() - begin, kShutdownWaitMs / 2);
    EXPECT_TRUE(Engine().WaitForCalls("PPClose", 2, 5000));
}

// A host DLL releases its downloader from its DLL_PROCESS_DETACH when the process exits, after the
// system has ended a worker inside OnNotify: the Release returns, and the process ends.
TEST_F(FaultTest, ReleaseAtProcessExitWaitsForNoWorkerTheSystemEnded) {
    // Both beside the library, where the loader finds the library the host DLL links.
    tree.CopyBuilt(L"detach_host.dll", L"bin\\detach_host.dll");
    tree.CopyBuilt(L"library_child.exe", L"bin\\library_child.exe");
    const ChildResult child =
        RunChild(tree.Path(L"bin\\library_child.exe"),
                 {tree.Path(L"bin\\detach_host.dll"), L"call", L"StartHeldNotification"},
                 {L"STANDIN_TRANSFERS=scripted"}, kShutdownWaitMs * 3);
    EXPECT_NE(child.output.find("returned 1"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("released"), std::string::npos) << child.output;
    EXPECT_EQ(child.exitCode, 0u);
}
