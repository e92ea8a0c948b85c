// Task records, their counted handles, and the downloader's task list.
#include "downloader/task_list.h"
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

TEST(TaskList, FindsAndCancelsTheFirstMatchIgnoringCase) {
    TaskList list;
    EXPECT_EQ(list.CancelTask(L"pkg"), 0);

    TaskHandle first = MakeTask(L"Pkg");
    TaskHandle second = MakeTask(L"PKG");
    list.AppendTask(first);
    list.AppendTask(second);
    list.AppendTask(MakeTask(L"other"));

    EXPECT_EQ(list.CancelTask(L"pk"), 0);
    EXPECT_EQ(list.CancelTask(L"pKg"), 1);
    EXPECT_TRUE(IsSignalled(CancelEventOf(first.get())));
    EXPECT_FALSE(IsSignalled(CancelEventOf(second.get()))) << "cancelled the wrong entry";
    EXPECT_FALSE(list.EndTask(first.get())) << "a cancelled task's end was decided";
    EXPECT_EQ(list.CancelTask(L"pkg"), 1);
    EXPECT_FALSE(IsSignalled(CancelEventOf(second.get()))) << "left before its worker took it";
}

TEST(TaskList, RemovesByIdentityWhateverTheName) {
    TaskList list;
    TaskHandle first = MakeTask(L"same");
    TaskHandle second = MakeTask(L"same");
    TaskHandle third = MakeTask(L"same");
    list.AppendTask(first);
    list.AppendTask(second);
    list.AppendTask(third);
    EXPECT_EQ(list.RemoveTask(first.get()), 1);
    EXPECT_EQ(list.RemoveTask(first.get()), 0);
    EXPECT_TRUE(list.EndTask(second.get())) << "an uncancelled task's end is decided";
    EXPECT_EQ(list.CancelTask(L"same"), 1);
    EXPECT_FALSE(IsSignalled(CancelEventOf(first.get()))) << "a removed task is still listed";
    EXPECT_FALSE(IsSignalled(CancelEventOf(second.get())))
        << "a task whose end was decided is still listed";
    EXPECT_TRUE(IsSignalled(CancelEventOf(third.get())));
}

TEST(TaskList, EmptyingSignalsEveryEventOnceAndReleasesTheListsReferences) {
    // Five tasks: the list's storage grows three times on the way, and no entry may be lost.
    TaskList list;
    std::vector<TaskHandle> kept;
    for (int i = 0; i < 4; ++i) {
        kept.push_back(MakeTask(L"t"));
        list.AppendTask(kept.back());
    }
    HANDLE unkeptEvent = nullptr;
    {
        TaskHandle unkept = MakeTask(L"gone");
        unkeptEvent = CancelEventOf(unkept.get());
        list.AppendTask(unkept);
    }

    list.CancelAllTasks();
    EXPECT_EQ(list.CancelTask(L"t"), 0);
    for (const TaskHandle& task : kept) {
        EXPECT_TRUE(IsSignalled(CancelEventOf(task.get())));
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
        TaskList list;
        std::vector<drvtest::HostThread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&list, t] {
                std::mt19937 random(t);
                for (int i = 0; i < 300; ++i) {
                    TaskHandle task = MakeTask(i % 2 ? L"even" : L"odd");
                    const _MOBILE_DRV_TASK* record = task.get();
                    list.AppendTask(task);
                    list.CancelTask(L"odd");
                    if (random() % 2) {
                        task = TaskHandle(); // the list may now hold the last reference
                    }
                    if (random() % 3) {
                        list.RemoveTask(record);
                    }
                    if (random() % 4 == 0) {
                        list.CancelTask(L"even");
                        list.EndTask(record);
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.Join();
        }
        list.CancelAllTasks();
        EXPECT_EQ(list.CancelTask(L"odd"), 0);
        EXPECT_EQ(list.CancelTask(L"even"), 0);
    }
    // 1800 records went through the list; the list's lock owns no handle after it is destroyed.
    EXPECT_EQ(drvtest::HandleChanges(baseline, drvtest::ProcessHandles()), "")
        << "records not freed (+ Event) or a handle closed twice (- of some type)";
}
