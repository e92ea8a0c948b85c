// Task records, their counted handles, and the downloader's task list.
#include "downloader/downloader_state.h"
#include "support/host_thread.h"
#include "support/process_handles.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TaskHandle MakeTask(const wchar_t* name) {
    TaskHandle task = TaskHandle::make();
    wcscpy_s(task->name, name);
    task->cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return task;
}

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

} // namespace

TEST(TaskHandle, MakesAZeroFilledRecordAndCountsCopies) {
    TaskHandle task = TaskHandle::make();
    ASSERT_TRUE(task);
    const auto* bytes = reinterpret_cast<const unsigned char*>(task.get());
    EXPECT_EQ(std::count(bytes, bytes + sizeof(_MOBILE_DRV_TASK), 0), sizeof(_MOBILE_DRV_TASK));
    EXPECT_EQ(task.use_count(), 1);
    {
        TaskHandle copy = task;
        EXPECT_EQ(copy.get(), task.get());
        EXPECT_EQ(task.use_count(), 2);
        TaskHandle other = TaskHandle::make();
        other = task;
        EXPECT_EQ(task.use_count(), 3);
        other = other; // self-assignment changes nothing
        EXPECT_EQ(task.use_count(), 3);
    }
    EXPECT_EQ(task.use_count(), 1);
}

TEST(TaskHandle, LastReferenceClosesTheCancelEventWithTheRecord) {
    TaskHandle task = MakeTask(L"a");
    HANDLE event = CancelEventOf(task.get());
    TaskHandle worker = task;
    task = TaskHandle();
    EXPECT_TRUE(IsOpen(event)) << "closed while a reference remains";
    worker = TaskHandle();
    EXPECT_FALSE(IsOpen(event));
}

TEST(TaskList, GrowsItsStorageOneTwoFourEight) {
    DownloaderState state;
    std::vector<std::size_t> capacities;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(state.AppendTask(MakeTask(L"t")), 1);
        capacities.push_back(state.TaskCapacity());
    }
    EXPECT_EQ(capacities, (std::vector<std::size_t>{1, 2, 4, 4, 8}));
}

TEST(TaskList, RemovesAndFindsTheFirstMatchIgnoringCase) {
    DownloaderState state;
    EXPECT_EQ(state.RemoveTaskByName(L"pkg"), 0);
    EXPECT_FALSE(state.FindCancelEvent(L"pkg"));

    TaskHandle first = MakeTask(L"Pkg");
    TaskHandle second = MakeTask(L"PKG");
    state.AppendTask(first);
    state.AppendTask(second);
    state.AppendTask(MakeTask(L"other"));

    EXPECT_EQ(state.FindCancelEvent(L"pkg").get(), first.get());
    EXPECT_FALSE(state.FindCancelEvent(L"pk"));
    EXPECT_EQ(state.RemoveTaskByName(L"pKg"), 1);
    EXPECT_EQ(state.TaskCount(), 2u);
    EXPECT_EQ(state.FindCancelEvent(L"pkg").get(), second.get()) << "removed the wrong entry";
    EXPECT_TRUE(IsOpen(CancelEventOf(first.get()))) << "the test's own reference keeps it";
}

TEST(TaskList, RemovesByIdentityWhateverTheName) {
    DownloaderState state;
    TaskHandle first = MakeTask(L"same");
    TaskHandle second = MakeTask(L"same");
    state.AppendTask(first);
    state.AppendTask(second);
    EXPECT_EQ(state.RemoveTask(second.get()), 1);
    EXPECT_EQ(state.RemoveTask(second.get()), 0);
    EXPECT_EQ(state.FindCancelEvent(L"same").get(), first.get());
}

TEST(TaskList, EmptyingSignalsEveryEventOnceAndReleasesTheListsReferences) {
    DownloaderState state;
    std::vector<TaskHandle> kept;
    for (int i = 0; i < 3; ++i) {
        kept.push_back(MakeTask(L"t"));
        state.AppendTask(kept.back());
    }
    HANDLE unkeptEvent = nullptr;
    {
        TaskHandle unkept = MakeTask(L"gone");
        unkeptEvent = CancelEventOf(unkept.get());
        state.AppendTask(unkept);
    }

    state.CancelAllTasks();
    EXPECT_EQ(state.TaskCount(), 0u);
    for (const TaskHandle& task : kept) {
        EXPECT_EQ(WaitForSingleObject(CancelEventOf(task.get()), 0), WAIT_OBJECT_0);
        EXPECT_EQ(task.use_count(), 1);
    }
    EXPECT_FALSE(IsOpen(unkeptEvent)) << "the list held the last reference";
}

TEST(TaskList, ConcurrentAppendsLookupsAndRemovalsFreeEachRecordOnce) {
    // Every record closes its event when freed: a leak leaves events open, a double free closes
    // some other handle. Either way the process's handles differ from before. The threads are
    // plain Windows threads, which leave nothing behind once joined.
    const std::vector<drvtest::ProcessHandle> baseline = drvtest::ProcessHandles();
    ASSERT_FALSE(baseline.empty());
    {
        DownloaderState state;
        std::vector<drvtest::HostThread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&state, t] {
                std::mt19937 random(t);
                for (int i = 0; i < 300; ++i) {
                    TaskHandle task = MakeTask(i % 2 ? L"even" : L"odd");
                    const _MOBILE_DRV_TASK* record = task.get();
                    state.AppendTask(task);
                    if (TaskHandle found = state.FindCancelEvent(L"odd")) {
                        SetEvent(CancelEventOf(found.get()));
                    }
                    if (random() % 2) {
                        task = TaskHandle(); // the list may now hold the last reference
                    }
                    if (random() % 3) {
                        state.RemoveTask(record);
                    }
                    if (random() % 4 == 0) {
                        state.RemoveTaskByName(L"even");
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.Join();
        }
        state.CancelAllTasks();
        EXPECT_EQ(state.TaskCount(), 0u);
    }
    // 1800 records went through the list; the list's lock owns no handle after it is destroyed.
    EXPECT_EQ(drvtest::HandleChanges(baseline, drvtest::ProcessHandles()), "")
        << "records not freed (+ Event) or a handle closed twice (- of some type)";
}
