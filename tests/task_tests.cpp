// Asynchronous tasks: workers, notifications, cancelling and shutting down while tasks run. How
// each engine behaviour ends a task is in engine_behaviour_tests.cpp.
#include "support/downloader_fixture.h"
#include "support/host_thread.h"
#include "support/timing.h"
#include "support/wait.h"

#include <algorithm>
#include <atomic>
#include <thread>

using namespace drvtest;

namespace {

bool AllZeroFrom(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t to) {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(to),
                       [](unsigned char b) { return b == 0; });
}

// A host's window: it answers WM_APP (sent) and WM_APP + 1 (posted) with 42 and counts them.
struct TestWindow {
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_APP || message == WM_APP + 1) {
            answeredOn = GetCurrentThreadId();
            ++answered[message - WM_APP];
            return 42;
        }
        return DefWindowProcW(window, message, w, l);
    }
    static inline DWORD answeredOn = 0;
    static inline int answered[2] = {};
};

class TaskTest : public DownloaderFixture {
protected:
    void SetUp() override {
        SetUpTree();
        downloader = CreateReady();
    }
    int Add(const std::wstring& name, int context = 0, const std::wstring& url = kUrl) {
        auto record = TaskRecord(name, url, Out(name + L".zip"), context);
        return downloader->AddTask(&record);
    }

    // A downloader of its own sends the progress of task "ui" to `window` (this thread's) from
    // OnNotify once the shutdown has begun, or, `seen`, before it, where this thread looks at its
    // queue (which marks the message seen) and only then shuts down; the shutdown must answer it.
    void ShutDownAnsweringAWindow(HWND window, bool release, bool seen);

    unique_downloader downloader;
};

void TaskTest::ShutDownAnsweringAWindow(HWND window, bool release, bool seen) {
    Engine().Reset();
    Engine().SetDefaultScript({QueryStep(5, 0)});
    TestWindow::answered[0] = TestWindow::answered[1] = 0;
    RecordingCallback sender;
    std::atomic<bool> asked{false};
    std::atomic<LRESULT> sent{0};
    DWORD_PTR answer = 0;
    sender.onNotify = [&](const Notification& n) {
        if (n.name == L"ui" && !asked.exchange(true)) {
            PostMessageW(window, WM_APP + 1, 0, 0);
            // The shutdown has begun once the other task's transfer is removed.
            EXPECT_TRUE(seen || Engine().WaitForCalls("PPRemoveTask", 1, 10000));
            sent = SendMessageTimeoutW(window, WM_APP, 0, 0, SMTO_NORMAL, 15000, &answer);
        }
    };
    auto shutDown = Create();
    ASSERT_EQ(shutDown->Init(&sender), 1);
    for (const wchar_t* name : {L"ui", L"other"}) {
        auto record = TaskRecord(name, kUrl, Out(std::wstring(name) + L".zip"));
        ASSERT_EQ(shutDown->AddTask(&record), 1);
    }
    ASSERT_TRUE(sender.WaitUntil(
        [](const auto& all) {
            return std::any_of(all.begin(), all.end(),
                               [](const Notification& n) { return n.name == L"ui"; });
        },
        5000));
    if (seen) {
        ASSERT_TRUE(WaitUntil(
            [] { return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; }, 5000));
    }
    const DWORD begin = GetTickCount();
    if (release) {
        shutDown.reset();
    } else {
        shutDown->Uninit();
    }
    const DWORD took = GetTickCount() - begin;

    EXPECT_NE(sent.load(), 0) << "the sent message was not answered";
    EXPECT_EQ(answer, 42u);
    EXPECT_EQ(TestWindow::answeredOn, GetCurrentThreadId());
    // A poll step or two, generously for a busy machine: far below the 10 s bound.
    EXPECT_LT(took, kShutdownWaitMs / 2);
    EXPECT_EQ(TestWindow::answered[1], 0) << "a posted message was dispatched";
    MSG posted;
    EXPECT_TRUE(PeekMessageW(&posted, window, WM_APP + 1, WM_APP + 1, PM_REMOVE));
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u);
}

} // namespace

TEST_F(TaskTest, RunningTransferReportsProgressEverySecondThenSucceeds) {
    Engine().PushScript({QueryStep(5, 4, {1, 2, 3, 4, 5, 6, 7}),
                         QueryStep(6, 3, {10, 0, 0, 0, 0, 0, 99}), QueryStep(7, 3), QueryStep(1)});
    const DWORD added = GetTickCount();
    ASSERT_EQ(Add(L"pkg", 42), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 15000));

    const auto all = callback.All();
    ASSERT_EQ(all.size(), 11u);
    std::vector<DWORD> gaps;
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(all[i].kind, MOBILEDRV_NOTIFY_PROGRESS);
        EXPECT_EQ(all[i].context, 42);
        if (i > 0) {
            gaps.push_back(all[i].tick - all[i - 1].tick);
            EXPECT_GE(gaps.back(), AtLeast(kTaskPollIntervalMs));
        }
    }
    // A late thread stretches a gap or two; a wrong interval moves the median.
    EXPECT_LE(Median(gaps), MedianAtMost(kTaskPollIntervalMs));
    EXPECT_GE(all[0].tick - added, AtLeast(kTaskPollIntervalMs));
    EXPECT_EQ(std::vector<unsigned>(all[0].status, all[0].status + 7),
              (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(all[4].status[0], 10u);
    EXPECT_EQ(all[4].status[6], 99u);
    EXPECT_EQ(all[10].kind, MOBILEDRV_NOTIFY_SUCCEEDED);
    EXPECT_EQ(all[10].targetPath, Out(L"pkg.zip"));
    // The transfer ended by its state: its handle stays with the engine.
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 0u);
    EXPECT_EQ(Engine().CallCount("PPCloseHandle"), 0u);
}

TEST_F(TaskTest, ImmediateSuccessIsOneNotificationAboutASecondLaterOnTheWorkerThread) {
    const DWORD added = GetTickCount();
    ASSERT_EQ(Add(L"quick"), 1);
    const DWORD returned = GetTickCount();
    EXPECT_GE(returned - added, AtLeast(kAddTaskPauseMs)) << "AddTask pauses";
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));
    Sleep(300);
    const auto all = callback.All();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].kind, MOBILEDRV_NOTIFY_SUCCEEDED);
    EXPECT_GE(all[0].tick - added, AtLeast(kTaskPollIntervalMs));
    EXPECT_LE(all[0].tick - added, AtMost(kTaskPollIntervalMs));
    EXPECT_NE(all[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(all[0].threadId, Engine().Calls("PPStartTaskEx").at(0).threadId)
        << "notified on the thread that runs the task";
}

TEST_F(TaskTest, RecordsAreCutAndZeroFilledExactly) {
    const std::wstring longName(600, L'n');
    const std::wstring target =
        tree.Path(L"out\\") + std::wstring(2047 - tree.Path(L"out\\").size(), L'p');
    ASSERT_EQ(target.size(), 2047u);
    const std::wstring longUrl = L"http://127.0.0.1:9/" + std::wstring(3000, L'u');
    Engine().PushScript({QueryStep(5), QueryStep(1)});
    auto record = TaskRecord(longName, kUrl, target, 5);
    // A URL with no terminator inside its field is read only up to the field's size.
    std::fill(std::begin(record.url), std::end(record.url), L'u');
    ASSERT_EQ(downloader->AddTask(&record), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));

    EXPECT_EQ(Engine().Calls("PPStartTaskEx").at(0).text1, std::wstring(2047, L'u'));
    const auto all = callback.All();
    ASSERT_EQ(all.size(), 2u);
    const auto& progress = all[0].bytes;
    EXPECT_EQ(all[0].name, std::wstring(511, L'n'));
    EXPECT_TRUE(AllZeroFrom(progress, 1022, 1024));
    const auto& result = all[1].bytes;
    EXPECT_EQ(all[1].name, std::wstring(511, L'n'));
    EXPECT_EQ(all[1].targetPath, target) << "a 2047-character path arrives whole";
    EXPECT_TRUE(AllZeroFrom(result, 1022, 1024));
    EXPECT_TRUE(AllZeroFrom(result, 1024 + 2047 * 2, 5120));
    EXPECT_EQ(all[1].context, 5);
}

TEST_F(TaskTest, NotificationsCarryTheMostRecentContextValue) {
    Engine().PushScript({QueryStep(5, 2), QueryStep(1)});
    Engine().PushScript({QueryStep(5, 2), QueryStep(1)});
    ASSERT_EQ(Add(L"A", 7), 1);
    ASSERT_EQ(Add(L"B", 9), 1);
    ASSERT_TRUE(callback.WaitForFinals(2, 6000));
    for (const Notification& n : callback.All()) {
        EXPECT_EQ(n.context, 9) << "kind " << n.kind;
    }
}

TEST_F(TaskTest, AddTaskRefusesNullRecordsAndEmptyUrlsButAcceptsEmptyNames) {
    EXPECT_EQ(downloader->AddTask(nullptr), 0);
    EXPECT_EQ(Add(L"nourl", 1, L""), 0);
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 0u);
    auto record = TaskRecord(L"", kUrl, L"", 3);
    EXPECT_EQ(downloader->AddTask(&record), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));
    EXPECT_EQ(callback.All().at(0).context, 3) << "the refused calls left the context alone";
}

TEST_F(TaskTest, CancelStopsTheTransferWithinASecondAndNothingFollows) {
    Engine().PushScript({QueryStep(5, 0)});
    ASSERT_EQ(Add(L"Pkg"), 1);
    ASSERT_TRUE(callback.WaitUntil([](const auto& all) { return !all.empty(); }, 3000));
    EXPECT_EQ(downloader->CancelTask(nullptr), 0);
    EXPECT_EQ(downloader->CancelTask(L"other"), 0);
    const DWORD cancelled = GetTickCount();
    EXPECT_EQ(downloader->CancelTask(L"pKG"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPCloseHandle", 1, 2000));
    const std::size_t seen = callback.All().size();

    const auto remove = Engine().Calls("PPRemoveTask");
    const auto close = Engine().Calls("PPCloseHandle");
    ASSERT_EQ(remove.size(), 1u);
    // The worker waits on the event itself, so it wakes at once.
    EXPECT_LE(remove[0].tickCalled - cancelled, AtMost(0));
    EXPECT_LE(remove[0].tickCalled, close[0].tickCalled);
    EXPECT_EQ(remove[0].handle, Engine().Calls("PPStartTaskEx").at(0).handle);
    EXPECT_EQ(close[0].handle, remove[0].handle);
    Sleep(1500);
    EXPECT_EQ(callback.All().size(), seen);
    EXPECT_EQ(downloader->CancelTask(L"pkg"), 0) << "the cancelled task left the list";
}

// A query may be in the engine when the host cancels: whatever it answers, a task whose CancelTask
// returned 1 sends nothing more, neither progress nor its end, and its transfer is removed.
TEST_F(TaskTest, CancelWhileAQueryIsInTheEngineEndsTheTaskInSilence) {
    const std::vector<std::wstring> names = {L"done", L"failed", L"running"};
    Engine().PushScript({QueryStep(1)});
    Engine().PushScript({QueryStep(2)});
    Engine().PushScript({QueryStep(5, 0)});
    Engine().SetDelay("PPQueryTaskEx", INFINITE);
    for (const std::wstring& name : names) {
        ASSERT_EQ(Add(name), 1);
    }
    ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 3, 5000));
    for (const std::wstring& name : names) {
        EXPECT_EQ(downloader->CancelTask(name.c_str()), 1);
    }
    Engine().ReleaseDelays();

    // A worker takes its task out of the list once it has ended.
    const auto listed = [&] {
        int count = 0;
        for (const std::wstring& name : names) {
            count += downloader->CancelTask(name.c_str());
        }
        return count;
    };
    ASSERT_TRUE(WaitUntil([&] { return listed() == 0; }, 5000, 50)) << "a worker did not end";
    EXPECT_TRUE(callback.All().empty()) << "kind " << callback.All().at(0).kind;
    EXPECT_EQ(Engine().CallCount("PPQueryTaskEx"), 3u);
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 3u);
    EXPECT_EQ(Engine().CallCount("PPCloseHandle"), 3u);
}

// A failed task's final notification queues a retry of the same name and cancels it at once: the
// cancel reaches the retry, which ends in silence, not the task whose end is being told.
TEST_F(TaskTest, CancelFromAFinalNotificationReachesTheRetryOfTheSameName) {
    Engine().PushScript({QueryStep(2)});
    Engine().PushScript({QueryStep(5, 2), QueryStep(1)});
    std::atomic<int> retried{-1};
    std::atomic<int> cancelled{-1};
    callback.onNotify = [&](const Notification& n) {
        if (n.kind == MOBILEDRV_NOTIFY_FAILED) {
            retried = Add(L"pkg");
            cancelled = downloader->CancelTask(L"pkg");
        }
    };
    ASSERT_EQ(Add(L"pkg"), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));
    EXPECT_TRUE(Engine().WaitForCalls("PPCloseHandle", 1, 5000)) << "the retry was not cancelled";
    EXPECT_EQ(retried.load(), 1);
    EXPECT_EQ(cancelled.load(), 1);
    ASSERT_EQ(Engine().CallCount("PPStartTaskEx"), 2u);
    EXPECT_EQ(Engine().Calls("PPCloseHandle").at(0).handle,
              Engine().Calls("PPStartTaskEx").at(1).handle);
    EXPECT_EQ(callback.All().size(), 1u) << "the retry notified";
}

TEST_F(TaskTest, TaskCancelledBeforeItsFirstPollWasStartedAndIsRemoved) {
    tree.WriteFile(L"out\\early.zip", "old");
    Engine().PushScript({QueryStep(5, 0)});
    ASSERT_EQ(Add(L"early"), 1);
    EXPECT_EQ(downloader->CancelTask(L"early"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPCloseHandle", 1, 2000));
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 1u);
    EXPECT_EQ(Engine().CallCount("PPQueryTaskEx"), 0u);
    EXPECT_FALSE(tree.Exists(L"out\\early.zip"));
    Sleep(300);
    EXPECT_TRUE(callback.All().empty());
}

TEST_F(TaskTest, SameNameTasksRunSideBySideWithTheirOwnNotifications) {
    Engine().PushScript({QueryStep(5, 1), QueryStep(1)});
    Engine().PushScript({QueryStep(5, 3), QueryStep(2)});
    auto first = TaskRecord(L"twin", kUrl, Out(L"one.zip"));
    auto second = TaskRecord(L"twin", kUrl, Out(L"two.zip"));
    ASSERT_EQ(downloader->AddTask(&first), 1);
    ASSERT_EQ(downloader->AddTask(&second), 1);
    ASSERT_TRUE(callback.WaitForFinals(2, 8000));
    std::vector<std::pair<int, std::wstring>> finals;
    for (const Notification& n : callback.All()) {
        if (n.kind != MOBILEDRV_NOTIFY_PROGRESS) {
            finals.emplace_back(n.kind, n.targetPath);
        }
    }
    EXPECT_EQ(finals, (std::vector<std::pair<int, std::wstring>>{
                          {MOBILEDRV_NOTIFY_SUCCEEDED, Out(L"one.zip")},
                          {MOBILEDRV_NOTIFY_FAILED, Out(L"two.zip")}}));
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 0u) << "one task's end cancelled the other";
}

TEST_F(TaskTest, UninitWithManyRunningTasksReturnsPromptlyAndSilencesThem) {
    Engine().SetDefaultScript({QueryStep(5, 0)});
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(Add(L"t" + std::to_wstring(i)), 1);
    }
    ASSERT_TRUE(Engine().WaitForCalls("PPStartTaskEx", 12, 3000));
    const DWORD begin = GetTickCount();
    downloader->Uninit();
    const DWORD took = GetTickCount() - begin;
    const std::size_t seen = callback.All().size();
    EXPECT_LE(took, kShutdownWaitMs / 2) << "Uninit ran towards its 10 s limit";
    // Workers beyond the gate's ten may still be ending; give them a poll interval.
    ASSERT_TRUE(Engine().WaitForCalls("PPCloseHandle", 12, 2500));
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 12u);
    EXPECT_EQ(Engine().Counters().liveHandles, 0u);
    ASSERT_TRUE(Engine().WaitForCalls("PPClose", 1, 2500));
    Sleep(1200);
    EXPECT_EQ(callback.All().size(), seen) << "a notification came after Uninit returned";
}

TEST_F(TaskTest, AddTaskBeforeInitTakesTheTaskButNeverTouchesTheTarget) {
    auto fresh = Create();
    tree.WriteFile(L"out\\early.zip", "keep");
    auto record = TaskRecord(L"early", kUrl, Out(L"early.zip"));
    EXPECT_EQ(fresh->AddTask(&record), 1);
    Sleep(1500);
    EXPECT_EQ(tree.ReadFile(L"out\\early.zip"), "keep");
    EXPECT_EQ(fresh->CancelTask(L"early"), 0) << "the finished worker left the list";
    fresh.reset();
    EXPECT_TRUE(callback.All().empty());
}

TEST_F(TaskTest, UninitFromInsideOnNotifyDoesNotDeadlock) {
    Engine().SetDefaultScript({QueryStep(5, 0)});
    std::atomic<bool> returned{false};
    std::atomic<int> calls{0};
    callback.onNotify = [&](const Notification&) {
        if (calls++ == 0) {
            downloader->Uninit();
            returned = true;
        }
    };
    ASSERT_EQ(Add(L"a"), 1);
    ASSERT_EQ(Add(L"b"), 1);
    ASSERT_TRUE(callback.WaitUntil([](const auto& all) { return !all.empty(); }, 3000));
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 5000))
        << "Uninit inside OnNotify did not return";
    ASSERT_TRUE(Engine().WaitForCalls("PPClose", 1, 3000));
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 2u);
}

// A completion handler queues the next file while another host thread shuts the downloader down:
// the task is refused, nothing of it starts, and the shutdown does not wait for it.
TEST_F(TaskTest, TaskAddedWhileAShutdownRunsIsRefusedAndNeverStarts) {
    Engine().PushScript({QueryStep(1)});
    Engine().SetDefaultScript({QueryStep(5, 0)});
    std::atomic<int> added{-1};
    callback.onNotify = [&](const Notification& n) {
        if (n.kind == MOBILEDRV_NOTIFY_SUCCEEDED) {
            // The shutdown has cancelled the list once the running task's transfer goes.
            EXPECT_TRUE(Engine().WaitForCalls("PPRemoveTask", 1, 10000));
            added = Add(L"next");
        }
    };
    ASSERT_EQ(Add(L"first"), 1);
    ASSERT_EQ(Add(L"running"), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));
    const DWORD begin = GetTickCount();
    downloader->Uninit();
    const DWORD took = GetTickCount() - begin;

    EXPECT_EQ(added.load(), 0) << "AddTask took a task while the shutdown ran";
    EXPECT_LT(took, kShutdownWaitMs / 2) << "Uninit waited for the task added meanwhile";
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 2u) << "the task added meanwhile started";
    EXPECT_EQ(Engine().CallCount("PPClose"), 1u);
}

// A task is taken just before another host thread shuts the downloader down, and its worker
// reaches for the engine only once the shutdown has begun: it ends in silence, without clearing
// its target or starting a transfer.
TEST_F(TaskTest, TaskTakenJustBeforeAShutdownStartsNothingOnceItBegan) {
    Engine().SetDefaultScript({QueryStep(5, 0)});
    ASSERT_EQ(Add(L"running"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPStartTaskEx", 1, 5000));
    tree.WriteFile(L"out\\held.zip", "old");
    const unique_handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(go);
    std::atomic<bool> started{false};
    // Started before the hold, which holds every thread that starts meanwhile.
    HostThread shutDown([&] {
        started = true;
        WaitForSingleObject(go.get(), INFINITE);
        downloader->Uninit();
    });
    EXPECT_TRUE(WaitUntil([&] { return started.load(); }, 5000));

    // The worker of "held" is held before its first instruction until the shutdown has begun,
    // that is once the running task's transfer is removed.
    Engine().SetDelay(kStandInThreadAttach, INFINITE);
    const int added = Add(L"held");
    SetEvent(go.get());
    const bool begun = Engine().WaitForCalls("PPRemoveTask", 1, 10000);
    Engine().ReleaseDelays();
    shutDown.Join();

    EXPECT_EQ(added, 1);
    EXPECT_TRUE(begun);
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 1u) << "the held worker started a transfer";
    EXPECT_EQ(tree.ReadFile(L"out\\held.zip"), "old") << "the held worker cleared its target";
    EXPECT_TRUE(callback.For(L"held").empty());
}

// A host shuts the downloader down on its window thread while a notification hands progress to a
// window of that thread with SendMessage: the shutdown answers sent messages while it waits (and
// leaves posted ones queued), so neither waits for the other.
TEST_F(TaskTest, ShutdownOnAWindowThreadAnswersMessagesSentFromOnNotify) {
    // The window lives on a desktop of the test's own: on the shared one, Wine's desktop process,
    // started for a first window, would inherit the test runner's output pipe and hold it for as
    // long as any other test of the run uses that desktop.
    const unique_hdesk desktop(
        CreateDesktopW((L"drvtest-" + std::to_wstring(GetCurrentProcessId())).c_str(), nullptr,
                       nullptr, 0, GENERIC_ALL, nullptr));
    ASSERT_TRUE(desktop);
    HostThread([&] {
        ASSERT_TRUE(SetThreadDesktop(desktop.get()));
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &TestWindow::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"DrvDownTestWindow";
        ASSERT_NE(RegisterClassW(&windowClass), 0);
        const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                            HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
        ASSERT_NE(window, nullptr);
        for (const bool release : {false, true}) {
            for (const bool seen : {false, true}) {
                SCOPED_TRACE(release ? "Release" : "Uninit");
                SCOPED_TRACE(seen ? "sent before and seen" : "sent during the shutdown");
                ShutDownAnsweringAWindow(window, release, seen);
            }
        }
        DestroyWindow(window);
        UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
    }).Join();
}

TEST_F(TaskTest, WorkerStuckInTheEngineOutlivesReleaseAndTheLibrary) {
    Engine().PushScript({QueryStep(5, 0)});
    ASSERT_EQ(Add(L"stuck"), 1);
    Engine().SetDelay("PPQueryTaskEx", 12000);
    ASSERT_TRUE(Engine().WaitForCalls("PPQueryTaskEx", 1, 3000));

    const DWORD begin = GetTickCount();
    downloader.reset();
    EXPECT_GE(GetTickCount() - begin, kShutdownWaitMs - kWaitStepMs)
        << "Release waits for the workers at most 10 s";
    EXPECT_EQ(Engine().CallCount("PPClose"), 0u) << "closed while a worker was inside the engine";

    // The host unloads the library; the worker keeps it mapped until it has ended.
    const std::wstring library = LibraryPath();
    HMODULE module = GetModuleHandleW(library.c_str());
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);
    EXPECT_NE(GetModuleHandleW(library.c_str()), nullptr);

    ASSERT_TRUE(Engine().WaitForCalls("PPClose", 1, 5000));
    EXPECT_EQ(Engine().CallCount("PPRemoveTask"), 1u);
    EXPECT_EQ(Engine().CallCount("PPCloseHandle"), 1u);
    EXPECT_TRUE(WaitUntil([&] { return GetModuleHandleW(library.c_str()) == nullptr; }, 1000))
        << "the worker never let the library go";
    EXPECT_TRUE(callback.All().empty());
    LoadLibraryW(library.c_str()); // balance the tree's own FreeLibrary
}
