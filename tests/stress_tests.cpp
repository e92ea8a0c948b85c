// Many host threads driving several downloaders at random against a scripted engine.
#include "support/downloader_fixture.h"
#include "support/host_thread.h"
#include "support/process_handles.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>

using namespace drvtest;

namespace {

// Transfers here are scripted; were one ever to run for real, this address stays on the machine.
constexpr wchar_t kUrl[] = L"http://127.0.0.1:9/pkg.zip";
constexpr int kDownloaders = 3;
constexpr int kThreads = 6;
// Every Uninit waits for the workers of all downloaders (up to 10 s while others keep adding),
// so the run is short and lifecycle operations are rare.
constexpr DWORD kRunMs = 15000;

// A reader/writer lock that owns no kernel object, for the test's own bookkeeping. Under MinGW's
// posix thread model a std::shared_mutex gets two semaphores on its first use that its destructor
// never closes, and a std::mutex keeps an event from its first contention until it is destroyed:
// handles the count at the end would take for the library's.
class SlimSharedLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() { AcquireSRWLockShared(&lock_); }
    bool try_lock_shared() { return TryAcquireSRWLockShared(&lock_) != FALSE; }
    void unlock_shared() { ReleaseSRWLockShared(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// The callback of one Init: once the Uninit or Release that ends it has returned, it must not
// hear from the downloader again.
class Session : public IMobileDrvDownCallback {
public:
    explicit Session(std::atomic<int>& lateNotifications) : late_(lateNotifications) {}

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        if (closed) {
            ++late_;
        }
        if (kind != MOBILEDRV_NOTIFY_PROGRESS) {
            const auto* result = static_cast<const _MOBILE_DRV_RESULT*>(record);
            std::lock_guard lock(mutex);
            ++finals[result->name];
        }
    }

    std::atomic<bool> closed{false};
    SlimSharedLock mutex;
    std::map<std::wstring, int> finals;

private:
    std::atomic<int>& late_;
};

struct Slot {
    SlimSharedLock mutex; // shared: task operations; exclusive: Init, Uninit, Release
    IMobileDrvDown* downloader = nullptr;
    Session* session = nullptr;
};

class StressTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTree(); }
};

} // namespace

TEST_F(StressTest, RandomOperationsKeepEveryInvariant) {
    std::mt19937 scripts(7);
    // A pool of transfers: failing starts, a few running cycles, unanswered queries, and every
    // kind of final state.
    for (int i = 0; i < 3000; ++i) {
        if (scripts() % 10 == 0) {
            Engine().PushFailingStart();
            continue;
        }
        std::vector<StandInStep> steps;
        if (scripts() % 3 == 0) {
            steps.push_back(FalseQueryStep(1 + scripts() % 2));
        }
        steps.push_back(QueryStep(5 + static_cast<int32_t>(scripts() % 3), 1 + scripts() % 3));
        const int32_t finalStates[] = {1, 1, 0, 2, 8, -1};
        steps.push_back(QueryStep(finalStates[scripts() % 6]));
        Engine().PushScript(steps);
    }
    Engine().SetDelay("PPStartTaskEx", 5);

    std::atomic<int> late{0};
    // One round of every operation first: whatever the system creates once, on first use, is
    // then part of the baseline.
    {
        Session warmUp(late);
        IMobileDrvDown* downloader = createInstance(1001, nullptr);
        ASSERT_EQ(downloader->Init(&warmUp), 1);
        auto kept = Record(L"warm-kept", kUrl, Out(L"warm-kept.zip"));
        auto cancelled = Record(L"warm-cancelled", kUrl, Out(L"warm-cancelled.zip"));
        downloader->AddTask(&kept);
        downloader->AddTask(&cancelled);
        downloader->CancelTask(L"warm-cancelled");
        downloader->DownloadNow(kUrl, Out(L"warm-now.zip").c_str());
        Sleep(2500);
        downloader->Release();
        for (int i = 0; i < 30 && Engine().Counters().liveInstances != 0; ++i) {
            Sleep(100);
        }
        Sleep(300);
    }
    const std::vector<ProcessHandle> baseline = ProcessHandles();
    ASSERT_FALSE(baseline.empty());

    std::vector<std::unique_ptr<Session>> sessions;
    SlimSharedLock sessionsMutex;
    auto slots = std::make_unique<Slot[]>(kDownloaders);
    std::atomic<int> counter{0};
    const DWORD end = GetTickCount() + kRunMs;

    auto newSession = [&] {
        std::lock_guard lock(sessionsMutex);
        sessions.push_back(std::make_unique<Session>(late));
        return sessions.back().get();
    };
    auto close = [](Slot& slot, bool release) {
        if (release) {
            slot.downloader->Release();
            slot.downloader = nullptr;
        } else {
            slot.downloader->Uninit();
        }
        if (slot.session != nullptr) {
            slot.session->closed = true;
            slot.session = nullptr;
        }
    };

    // Every downloader starts ready, so the run does work from its first moment.
    for (int i = 0; i < kDownloaders; ++i) {
        Slot& slot = slots[i];
        slot.downloader = createInstance(1001, nullptr);
        Session* session = newSession();
        ASSERT_EQ(slot.downloader->Init(session), 1);
        slot.session = session;
    }

    std::vector<HostThread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1000 + t);
            while (static_cast<int>(end - GetTickCount()) > 0) {
                Slot& slot = slots[random() % kDownloaders];
                const unsigned op = random() % 100;
                if (op < 6) { // lifecycle; skipped while others use the downloader
                    std::unique_lock lock(slot.mutex, std::try_to_lock);
                    if (!lock.owns_lock()) {
                        continue;
                    }
                    if (slot.downloader == nullptr) {
                        slot.downloader = createInstance(1001, nullptr);
                    } else if (op < 1) {
                        close(slot, true);
                    } else if (op < 2) {
                        close(slot, false);
                    } else if (slot.session == nullptr) {
                        Session* session = newSession();
                        if (slot.downloader->Init(session) == 1) {
                            slot.session = session;
                        }
                    }
                    continue;
                }
                std::shared_lock lock(slot.mutex, std::try_to_lock);
                if (!lock.owns_lock() || slot.downloader == nullptr) {
                    continue;
                }
                const std::wstring name = L"task" + std::to_wstring(counter++);
                if (op < 70) {
                    auto record = Record(name, kUrl, Out(name + L".zip"));
                    slot.downloader->AddTask(&record);
                } else if (op < 90) {
                    const std::wstring victim = L"task" + std::to_wstring(random() % (counter + 1));
                    slot.downloader->CancelTask(victim.c_str());
                } else {
                    slot.downloader->DownloadNow(kUrl, Out(L"now-" + name + L".zip").c_str());
                }
                Sleep(random() % 30);
            }
        });
    }
    for (HostThread& thread : threads) {
        thread.Join();
    }
    for (int i = 0; i < kDownloaders; ++i) {
        if (slots[i].downloader != nullptr) {
            close(slots[i], true);
        }
    }
    slots.reset();

    // Workers beyond the gate's ten may still be ending; they all end within a poll interval.
    for (int i = 0; i < 50 && Engine().Counters().liveInstances != 0; ++i) {
        Sleep(100);
    }
    Sleep(500);
    EXPECT_EQ(Engine().Counters().liveInstances, 0u);
    EXPECT_EQ(late.load(), 0) << "notifications after Uninit or Release returned";

    // Per transfer: removal and closing come together, once; a removed task got no final.
    std::map<uint32_t, std::wstring> targetOf;
    std::map<uint32_t, int> removed;
    std::map<uint32_t, int> closed;
    for (const EngineCall& call : Engine().Log()) {
        if (call.name == "PPStartTaskEx" && call.handle != 0) {
            targetOf[call.handle] = call.text2;
        } else if (call.name == "PPRemoveTask") {
            ++removed[call.handle];
        } else if (call.name == "PPCloseHandle") {
            ++closed[call.handle];
        }
    }
    EXPECT_EQ(removed, closed);
    std::map<std::wstring, int> finals;
    for (const auto& session : sessions) {
        for (const auto& [name, count] : session->finals) {
            finals[name] += count;
        }
    }
    int tasksWithFinals = 0;
    for (const auto& [name, count] : finals) {
        EXPECT_EQ(count, 1) << "task " << testing::PrintToString(name);
        ++tasksWithFinals;
    }
    for (const auto& [handle, count] : removed) {
        EXPECT_EQ(count, 1);
        const std::wstring& target = targetOf[handle];
        const std::wstring name = target.substr(target.find_last_of(L'\\') + 1);
        EXPECT_EQ(finals.count(name.substr(0, name.size() - 4)), 0u)
            << "a cancelled task was reported as finished: " << testing::PrintToString(name);
    }
    std::printf("tasks with a final notification: %d, transfers removed: %zu, sessions: %zu\n",
                tasksWithFinals, removed.size(), sessions.size());
    EXPECT_GT(tasksWithFinals, 20) << "the run did too little to prove anything";
    EXPECT_GT(removed.size(), 10u);

    // Every handle the run opened is closed again: the library's, the engine's, and the test's
    // own (its locks own none and its threads' handles are closed once they are joined). What
    // the system creates once, on first use, was created by the warm-up.
    sessions.clear();
    EXPECT_EQ(HandleChangesSettled(baseline, 3000), "") << "handles left open or closed twice";
}
