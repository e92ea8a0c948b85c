// One randomized lifecycle stress. Host threads call Init, AddTask, CancelTask, DownloadNow, Uninit
// and Release of a few downloaders at random, and DownLoadFile beside them, with no lock between
// the calls but the rule any object sets its host: no other call of a downloader is in progress or
// begins on a host thread while its Release runs. One host thread owns a window: OnNotify sends
// and posts it messages at random, and its handlers make those calls too, also on a downloader
// whose shutdown runs on that thread (a re-entry). OnNotify itself calls AddTask (retrying a
// finished task under its name), CancelTask, Uninit and Release at random, and the stand-in engine
// answers with random delays (under a second), refused starts and initialisations, and unanswered
// queries. At the end every downloader goes through one more Uninit and Init, and tasks added then
// must run. Afterwards a table of invariants is checked against the engine's call log and the
// notifications; the library's freed memory is kept and filled meanwhile, so that a write into a
// released downloader shows.
//
// Every run prints its seed. DRVDOWN_STRESS_SEED=N runs seed N again (the choices are the seed's;
// the threads interleave as the machine lets them); DRVDOWN_STRESS_MS sets how long the host
// threads work (8000 ms by default). scripts/stress.sh runs many seeds.
#include "standin_engine/status_values.h"
#include "support/downloader_fixture.h"
#include "support/host_thread.h"
#include "support/process_handles.h"
#include "support/stress_heap.h"
#include "support/timing.h"
#include "support/wait.h"
#include "support/window_thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>

using namespace drvtest;

namespace {

constexpr int kSlots = 3;
constexpr int kHostThreads = 7;
constexpr DWORD kShutdownPastWorkerWaitMs = kShutdownWaitMs + 1000;
// A call still in progress this long after its bound has hung: the run ends there.
constexpr DWORD kHangMs = 20000;
// A state the stand-in never reports: a transfer that ends in it ended in a way the library
// cannot read.
constexpr int32_t kStateUnknown = 0;

// A reader/writer lock that owns no kernel object: under MinGW's posix thread model a std::mutex
// keeps an event from its first contention, a handle the count at the end would take for the
// library's.
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

enum class Op { Create, Init, Uninit, Release, AddTask, CancelTask, DownloadNow, DownLoadFile };
constexpr const char* kOpNames[] = {"create",  "init",       "uninit",      "release",
                                    "addtask", "canceltask", "downloadnow", "downloadfile"};

bool IsShutdown(Op op) {
    return op == Op::Uninit || op == Op::Release;
}

// How long a call may take before it counts as not returning: a shutdown waits for workers at
// most 10 s, an Init the engine refuses shuts down too, a download runs a scripted transfer.
DWORD BoundOf(Op op) {
    switch (op) {
    case Op::Uninit:
    case Op::Release:
        return kShutdownPastWorkerWaitMs;
    case Op::Init:
        return 2 * kShutdownPastWorkerWaitMs;
    case Op::DownloadNow:
    case Op::DownLoadFile:
        return 30000;
    default:
        return kShutdownPastWorkerWaitMs;
    }
}

// A downloader as the stress calls it: its slot, its number (each CreateInstance gives a new one,
// which the invariants tell downloaders by) and the object.
struct Target {
    int slot;
    int number;
    IMobileDrvDown* downloader;
};

// One call of the host, timed by the run's own clock (a sequence) and by ticks, which the engine's
// log uses too. A tick taken before another is never the greater: only a greater tick proves
// "later". Names of tasks repeat; each download has a target of its own (`key`, the file's stem).
struct Call {
    Op op;
    int downloader; // its number; -1 for DownLoadFile
    bool fromNotify;
    std::wstring name{}; // the task of AddTask and CancelTask
    std::wstring key{};  // the target of AddTask and the downloads
    int session = -1;    // Init: the callback it passed
    bool fromHandler = false;
    bool reentry = false; // from a handler while a call of the same downloader runs on the thread
    DWORD thread = GetCurrentThreadId();
    uint64_t begin = 0, end = 0;
    DWORD beginTick = 0, endTick = 0;
    int result = 0;
};

struct Note {
    int session;
    int downloader;
    int kind;
    std::wstring name;
    std::wstring key; // finals: the target's stem; progress: resolved from the log
    DWORD thread;
    DWORD tick;
    uint32_t logCount; // the engine's log entries when it was sent
    uint64_t begin, end;
};

std::wstring Widen(const std::string& text) {
    return {text.begin(), text.end()};
}

// A call as a violation tells it.
std::wstring Describe(const Call& call) {
    return Widen(kOpNames[static_cast<int>(call.op)]) +
           (call.fromNotify ? L" from OnNotify" : L"") +
           (call.reentry       ? L" re-entered"
            : call.fromHandler ? L" from a handler"
                               : L"") +
           L" of downloader " + std::to_wstring(call.downloader) + L" on thread " +
           std::to_wstring(call.thread) + L" from tick " + std::to_wstring(call.beginTick) +
           L" to " + std::to_wstring(call.endTick) + L" (result " + std::to_wstring(call.result) +
           L")";
}

// What a host thread is doing: the downloaders it has calls of in progress, the downloaders
// whose notifications sent the messages it answers, outermost first, whether it runs a handler,
// and the slot it holds alone for its own shutdown (-1: none). Kept by thread number, not in
// thread-local objects: those register their destructors through the thread library on every
// notifying worker, which may keep an event for good.
struct ThreadState {
    std::vector<int> calling;
    std::vector<int> senders;
    int handlers = 0;
    int ownedSlot = -1;
};

class Stress;

// The callback of one Init.
class Session final : public IMobileDrvDownCallback {
public:
    Session(Stress& stress, int id, Target target) : stress_(stress), id_(id), target_(target) {}
    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override;

private:
    Stress& stress_;
    const int id_;
    const Target target_;
};

struct Slot {
    SlimSharedLock lock; // shared: a host call; exclusive: Release, or a new downloader
    IMobileDrvDown* downloader = nullptr;
    std::atomic<int> number{0};        // read without the lock by a host about to Release
    std::atomic<bool> reserved{false}; // the window's thread waits to have it alone
    SlimSharedLock namesLock;
    std::vector<std::wstring> names; // tasks added, for CancelTask to pick from
};

// A call asked of the window's thread; the name is for CancelTask.
struct Request {
    int slot;
    int number;
    Op op;
    std::wstring name;
    int from; // the notifying downloader of a sent message; -1 for a posted one
};

// The calls a message asks for: Init, AddTask, CancelTask, DownloadNow, Uninit, Release.
constexpr Op kAsked[] = {Op::Init,    Op::Init,       Op::AddTask,    Op::AddTask,
                         Op::AddTask, Op::CancelTask, Op::CancelTask, Op::DownloadNow,
                         Op::Uninit,  Op::Uninit,     Op::Uninit,     Op::Release};

// What a run left for the invariants to check.
struct Facts;

class Stress {
public:
    Stress(StandIn& engine, std::wstring out, CreateInstanceFn create, DownLoadFileFn download,
           uint32_t seed)
        : engine_(engine), out_(std::move(out)), create_(create), download_(download), seed_(seed) {
    }

    uint64_t Now() { return ++clock_; }
    ThreadState& Me() {
        std::lock_guard lock(threadsLock_);
        return threads_[GetCurrentThreadId()];
    }
    // The seed's n-th number, for threads the library starts.
    uint32_t Roll() {
        uint64_t x = seed_ + 0x9E3779B97F4A7C15ull * ++rolls_;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        return static_cast<uint32_t>((x ^ (x >> 27)) * 0x94D049BB133111EBull >> 32);
    }

    // Makes one call through `body`, which returns its result, and records it.
    template <class Body>
    int Make(Call call, Body body) {
        ThreadState& me = Me();
        call.fromHandler = me.handlers > 0;
        call.reentry = call.fromHandler &&
                       std::count(me.calling.begin(), me.calling.end(), call.downloader) > 0;
        me.calling.push_back(call.downloader);
        call.beginTick = GetTickCount();
        call.begin = Now();
        {
            std::lock_guard lock(recordLock_);
            running_[call.begin] = call;
        }
        call.result = body();
        call.end = Now();
        call.endTick = GetTickCount();
        me.calling.pop_back();
        std::lock_guard lock(recordLock_);
        running_.erase(call.begin);
        calls_.push_back(std::move(call));
        return calls_.back().result;
    }

    // The slot's downloader; call with the slot held.
    Target Current(int slot) { return {slot, slots_[slot].number, slots_[slot].downloader}; }

    std::wstring NewName() { return L"t" + std::to_wstring(++names_); }
    std::wstring AddTask(const Target& t, bool fromNotify, std::wstring name) {
        const std::wstring key = L"k" + std::to_wstring(++names_);
        auto record = TaskRecord(name, kUrl, out_ + key + L".zip");
        if (Make({Op::AddTask, t.number, fromNotify, name, key},
                 [&] { return t.downloader->AddTask(&record); }) == 1) {
            std::lock_guard lock(slots_[t.slot].namesLock);
            slots_[t.slot].names.push_back(name);
        }
        return key;
    }
    // A recent task's name of the slot; empty when there is none.
    std::wstring PickName(int slot, uint32_t roll) {
        std::lock_guard lock(slots_[slot].namesLock);
        const auto& names = slots_[slot].names;
        return names.empty()
                   ? std::wstring()
                   : names[names.size() - 1 - roll % std::min<std::size_t>(names.size(), 40)];
    }
    void CancelTask(const Target& t, bool fromNotify, const std::wstring& name) {
        if (!name.empty()) {
            Make({Op::CancelTask, t.number, fromNotify, name},
                 [&] { return t.downloader->CancelTask(name.c_str()); });
        }
    }
    void Shutdown(const Target& t, bool fromNotify) {
        Make({Op::Uninit, t.number, fromNotify}, [&] { return t.downloader->Uninit(), 0; });
    }
    void DownloadNow(const Target& t) {
        const std::wstring key = L"now" + std::to_wstring(++names_);
        Make({Op::DownloadNow, t.number, false, {}, key},
             [&] { return t.downloader->DownloadNow(kUrl, (out_ + key + L".zip").c_str()); });
    }
    // Release needs the slot to itself: a caller that cannot have it at once leaves it, unless
    // this thread holds it already for its own shutdown of that downloader.
    void Release(int slot, int number, bool fromNotify) {
        std::unique_lock lock(slots_[slot].lock, std::defer_lock);
        if (Me().ownedSlot != slot && !lock.try_lock()) {
            return;
        }
        IMobileDrvDown* downloader = slots_[slot].downloader;
        if (slots_[slot].number == number && downloader != nullptr) {
            // Gone from the slot first: handlers answered during the Release on this thread
            // (which holds the slot already) must find no downloader to call.
            slots_[slot].downloader = nullptr;
            Make({Op::Release, number, fromNotify}, [&] { return downloader->Release(), 0; });
        }
    }

    void OnNotify(int session, const Target& t, int kind, void* record) {
        // Both records begin with the task's name; a final one has the target after it.
        const wchar_t* name = static_cast<const wchar_t*>(record);
        Note note{session,        t.number,           kind,  name, {}, GetCurrentThreadId(),
                  GetTickCount(), engine_.LogCount(), Now(), 0};
        if (kind != MOBILEDRV_NOTIFY_PROGRESS) {
            const std::wstring target = static_cast<const _MOBILE_DRV_RESULT*>(record)->targetPath;
            const std::size_t stem = target.find_last_of(L'\\') + 1;
            note.key = target.substr(stem, target.size() - stem - 4);
        }
        ++answering_;
        if (!quiet_) {
            Answer(t, kind, note.name);
        }
        --answering_;
        note.end = Now();
        std::lock_guard lock(recordLock_);
        notes_.push_back(std::move(note));
    }
    // What OnNotify does besides recording: four in ten finished tasks are retried under their
    // names; otherwise, per ten thousand, AddTask, CancelTask, Uninit, Release of its own
    // downloader or of another one. Then messages to the window, among them a final
    // notification's ask to cancel its own name (which then names a retry, or a task that ended).
    void Answer(const Target& t, int kind, const std::wstring& name) {
        const uint32_t roll = Roll() % 10000;
        const bool final = kind != MOBILEDRV_NOTIFY_PROGRESS;
        const bool retried = final && Roll() % 10 < 4;
        if (retried) {
            AddTask(t, true, name);
        } else if (roll < 800) {
            AddTask(t, true, NewName());
        } else if (roll < 1200) {
            CancelTask(t, true, PickName(t.slot, roll));
        } else if (roll < 1250) {
            Shutdown(t, true);
        } else if (roll < 1275) {
            Release(t.slot, t.number, true);
        } else if (roll < 1290) {
            const int other = static_cast<int>(roll % kSlots);
            Release(other, slots_[other].number, true);
        }
        const uint32_t message = Roll() % 1000;
        // While the window's thread shuts a downloader down, half the notifications send it a
        // call of that downloader, which its wait answers; otherwise half of them send or post
        // one for their own downloader or another.
        const int shutting = windowShutdown_;
        // A final notification mostly asks to cancel its own name: a retry of it, or nothing.
        const bool probe = final && (retried ? Roll() % 4 != 0 : Roll() % 2 == 0);
        const bool reenter = !probe && shutting >= 0 && message < 500;
        if (!reenter && !probe && message % 2 == 0) {
            return;
        }
        const int slot = reenter            ? shutting
                         : message % 4 == 1 ? t.slot
                                            : static_cast<int>(Roll() % kSlots);
        const bool send = reenter || probe || message < 700;
        Request request{slot,
                        slots_[slot].number,
                        // The downloader the window's thread shuts down alone is often released
                        // from inside that shutdown.
                        reenter && windowAlone_ && Roll() % 3 == 0
                            ? Op::Release
                            : kAsked[Roll() % std::size(kAsked)],
                        {},
                        send ? t.number : -1};
        if (probe) {
            request = {t.slot, t.number, Op::CancelTask, name, send ? t.number : -1};
        }
        const auto handle = [this, request] {
            ThreadState& me = Me();
            ++me.handlers;
            if (request.from >= 0) {
                me.senders.push_back(request.from);
            }
            Handle(request);
            if (request.from >= 0) {
                me.senders.pop_back();
            }
            --me.handlers;
        };
        if (window_ != nullptr) { // none in the warm-up
            send ? (void)window_->Send(handle) : window_->Post(handle);
        }
    }

    // A window message's call, on the window thread. It never waits for a slot: the thread
    // answers senders that a slot's holder may be waiting for.
    void Handle(const Request& request) {
        Slot& slot = slots_[request.slot];
        // A shutdown answers the sender of the message its thread handles, but no sender further
        // out: one that is a notification of the same downloader would wait for this handler,
        // and the shutdown for it. Such a call (an Init may shut down too) is left out.
        const ThreadState& me = Me();
        const auto outer = me.senders.end() - (request.from >= 0 ? 1 : 0);
        if ((IsShutdown(request.op) || request.op == Op::Init) &&
            std::count(me.senders.begin(), outer, request.number) > 0) {
            return;
        }
        if (request.op == Op::Release) {
            Release(request.slot, request.number, false);
        } else if (me.ownedSlot == request.slot || slot.lock.try_lock_shared()) {
            const Target t = Current(request.slot);
            if (t.downloader != nullptr && t.number == request.number) {
                Dispatch(t, request.op, request.name);
            }
            if (me.ownedSlot != request.slot) {
                slot.lock.unlock_shared();
            }
        }
    }
    // One call other than Release and Create, with the slot held.
    void Dispatch(const Target& t, Op op, const std::wstring& name) {
        switch (op) {
        case Op::Init:
            Init(t);
            break;
        case Op::Uninit:
            Shutdown(t, false);
            break;
        case Op::AddTask:
            AddTask(t, false, name.empty() ? NewName() : name);
            break;
        case Op::CancelTask:
            CancelTask(t, false, name.empty() ? PickName(t.slot, Roll()) : name);
            break;
        case Op::DownloadNow:
            DownloadNow(t);
            break;
        default:
            break;
        }
    }

    // One host thread's work until `end`.
    void Host(int thread, DWORD end) {
        std::mt19937 random(seed_ * 31 + thread);
        while (static_cast<int>(end - GetTickCount()) > 0) {
            // A host thread's message to the window while it shuts a downloader down: a call of
            // that downloader inside its shutdown, often its Release when the slot is the
            // window's alone.
            const int shutting = windowShutdown_;
            if (shutting >= 0 && random() % 2 == 0) {
                const Request request{shutting,
                                      slots_[shutting].number,
                                      windowAlone_ && random() % 3 != 0
                                          ? Op::Release
                                          : kAsked[random() % std::size(kAsked)],
                                      {},
                                      -1};
                window_->Send([this, request] {
                    ++Me().handlers;
                    Handle(request);
                    --Me().handlers;
                });
            }
            const int index = static_cast<int>(random() % kSlots);
            // Per mille: the downloads beside, Release, Init, Uninit, AddTask, CancelTask,
            // DownloadNow; the rest of the time the thread only pauses.
            const uint32_t op = random() % 1000;
            if (op < 5) {
                const std::wstring key = L"file" + std::to_wstring(++names_);
                Make({Op::DownLoadFile, -1, false, {}, key},
                     [&] { return download_(kUrl, (out_ + key + L".zip").c_str()); });
            } else if (op < 8) {
                Release(index, slots_[index].number, false);
            } else if (op < 600) {
                // A slot the window's thread has or waits to have alone is left to it meanwhile.
                std::shared_lock lock(slots_[index].lock, std::defer_lock);
                if (slots_[index].reserved || !lock.try_lock()) {
                    Sleep(random() % 30);
                    continue;
                }
                const Target t = Current(index);
                if (t.downloader == nullptr) {
                    lock.unlock();
                    NewDownloader(index);
                } else if (op < 78) {
                    Init(t);
                } else if (op < 84) {
                    Shutdown(t, false);
                } else if (op < 484) {
                    // A tenth of them under a name in use.
                    const std::wstring name = op < 124 ? PickName(index, random()) : L"";
                    AddTask(t, false, name.empty() ? NewName() : name);
                } else if (op < 584) {
                    CancelTask(t, false, PickName(index, random()));
                } else {
                    DownloadNow(t);
                }
            }
            Sleep(random() % 30);
        }
    }
    // The window thread's own work until `end`, handed to its loop one call at a time: mostly
    // shutdowns and a new Init, each with the slot to itself when it can have it, which the
    // messages answered during its waits re-enter; and Init, AddTask, CancelTask.
    void WindowHost(DWORD end) {
        std::mt19937 random(seed_ * 31 + kHostThreads);
        while (static_cast<int>(end - GetTickCount()) > 0) {
            const int index = static_cast<int>(random() % kSlots);
            const uint32_t op = random() % 100;
            const auto done = std::make_shared<std::atomic<bool>>(false);
            window_->Post([this, index, op, done] {
                ++Me().handlers;
                WindowCall(index, op);
                --Me().handlers;
                *done = true;
            });
            PollUntil([&] { return done->load(); }, 120000, 5);
            Sleep(random() % 30);
        }
    }
    void WindowCall(int index, uint32_t op) {
        Slot& slot = slots_[index];
        if (op < 25) {
            // Alone when it can (host calls end within a moment), so that a handler may also
            // release the downloader.
            slot.reserved = true;
            bool alone = slot.lock.try_lock();
            for (int tries = 0; !alone && tries < 250; ++tries) {
                Sleep(2);
                alone = slot.lock.try_lock();
            }
            slot.reserved = false;
            if (alone || slot.lock.try_lock_shared()) {
                Me().ownedSlot = alone ? index : -1;
                windowAlone_ = alone;
                windowShutdown_ = index;
                const Target t = Current(index);
                if (t.downloader != nullptr) {
                    Shutdown(t, false);
                }
                windowShutdown_ = -1;
                windowAlone_ = false;
                // A host that restarts the downloader: one more Init/Uninit cycle.
                if (Current(index).downloader != nullptr && Current(index).number == t.number) {
                    Init(t);
                }
                Me().ownedSlot = -1;
                alone ? slot.lock.unlock() : slot.lock.unlock_shared();
            }
        } else if (slot.lock.try_lock_shared()) {
            const Target t = Current(index);
            if (t.downloader != nullptr) {
                Dispatch(t, op < 50 ? Op::Init : op < 85 ? Op::AddTask : Op::CancelTask, L"");
            }
            slot.lock.unlock_shared();
        }
    }
    void NewDownloader(int index) {
        std::unique_lock lock(slots_[index].lock, std::try_to_lock);
        if (lock.owns_lock() && slots_[index].downloader == nullptr) {
            const int number = ++numbers_;
            Make({Op::Create, number, false}, [&] {
                slots_[index].downloader = create_(MOBILEDRV_INTERFACE_VERSION, nullptr);
                slots_[index].number = number;
                return slots_[index].downloader != nullptr ? 1 : 0;
            });
        }
    }
    // Called with the slot held for a host call.
    void Init(const Target& t) {
        Call call{Op::Init, t.number, false};
        Session* session = nullptr;
        {
            std::lock_guard lock(recordLock_);
            call.session = static_cast<int>(sessions_.size());
            sessions_.push_back(std::make_unique<Session>(*this, call.session, t));
            session = sessions_.back().get();
        }
        Make(call, [&] { return t.downloader->Init(session); });
    }

    // `window` is the host's window thread, which the run's handlers run on.
    void Run(DWORD runMs, WindowThread& window);
    // Ends the run when a call has not returned long after its bound, naming it.
    void Watch(const std::atomic<bool>& done);
    // Counts the invariants' violations, printing the table and a summary line; returns the
    // total.
    int Check(const std::vector<EngineCall>& log, int leftBehind);

    Slot slots_[kSlots];

private:
    friend struct Facts;
    StandIn& engine_;
    const std::wstring out_; // the targets' folder, with its backslash
    CreateInstanceFn create_;
    DownLoadFileFn download_;
    const uint32_t seed_;
    std::atomic<uint64_t> clock_{0}, rolls_{0};
    std::atomic<int> names_{0}, numbers_{0};
    WindowThread* window_ = nullptr;       // while the host threads work
    std::atomic<int> answering_{0};        // notifications that may still send or post to it
    std::atomic<int> windowShutdown_{-1};  // the slot whose shutdown the window's thread runs
    std::atomic<bool> windowAlone_{false}; // and has the slot to itself
    std::atomic<bool> quiet_{false};       // OnNotify only records (the last cycle)
    SlimSharedLock recordLock_;
    SlimSharedLock threadsLock_;
    std::map<DWORD, ThreadState> threads_;
    std::vector<Call> calls_;
    std::map<uint64_t, Call> running_; // calls in progress, by their begin
    std::vector<Note> notes_;
    std::deque<std::unique_ptr<Session>> sessions_;
    std::vector<std::wstring> cycleTasks_; // the keys of the tasks of the last cycle
    uint64_t cycleEnd_ = 0;                // when the last cycle's waiting ended
};

void Session::OnNotify(int kind, void* record) {
    stress_.OnNotify(id_, target_, kind, record);
}

void Stress::Watch(const std::atomic<bool>& done) {
    while (!done) {
        Sleep(200);
        std::lock_guard lock(recordLock_);
        for (const auto& [begin, call] : running_) {
            if (GetTickCount() - call.beginTick > BoundOf(call.op) + kHangMs) {
                const std::wstring told = Describe(call);
                std::printf("host call returned within its bound: violated; the run ends here "
                            "(seed %u); first: %ls has not returned at tick %lu\n",
                            seed_, told.c_str(), GetTickCount());
                for (const auto& [at, other] : running_) {
                    std::printf("  in progress: %ls\n", Describe(other).c_str());
                }
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
    }
}

void Stress::Run(DWORD runMs, WindowThread& window) {
    StandIn& engine = engine_;
    std::mt19937 random(seed_);
    // Transfers: refused starts, unanswered queries, a few running cycles, every kind of end.
    for (int i = 0; i < 4000; ++i) {
        if (random() % 12 == 0) {
            engine.PushFailingStart();
            continue;
        }
        std::vector<StandInStep> steps;
        if (random() % 4 == 0) {
            steps.push_back(FalseQueryStep(1 + random() % 2));
        }
        const int32_t running[] = {standin::kStateConnecting, standin::kStateReceiving,
                                   standin::kStateFinishing};
        steps.push_back(QueryStep(running[random() % 3], 1 + random() % 3));
        const int32_t ends[] = {standin::kStateFinished,    standin::kStateFinished,
                                standin::kStateFinished,    kStateUnknown,
                                standin::kStateUnreachable, standin::kStateInterrupted};
        steps.push_back(QueryStep(ends[random() % 6]));
        engine.PushScript(steps);
    }
    for (int i = 0; i < kSlots; ++i) {
        NewDownloader(i);
        std::shared_lock lock(slots_[i].lock);
        Init(Current(i));
    }
    window_ = &window;
    const DWORD end = GetTickCount() + runMs;
    std::atomic<bool> done{false};
    HostThread watch([&] { Watch(done); });
    {
        std::vector<HostThread> threads;
        // The engine's delays and refusals change every few tenths of a second.
        threads.emplace_back([&] {
            const char* exports[] = {"PPStartTaskEx", "PPQueryTaskEx", "PPRemoveTask",
                                     "PPCloseHandle", "PPInit2",       "PPClose"};
            std::mt19937 chaos(seed_ ^ 0x5EEDu);
            while (static_cast<int>(end - GetTickCount()) > 0) {
                engine.SetDelay(exports[chaos() % 6], chaos() % 3 == 0 ? 0 : chaos() % 900);
                engine.SetInitResult(chaos() % 6 != 0);
                Sleep(50 + chaos() % 200);
            }
            engine.ReleaseDelays();
            engine.SetInitResult(true);
        });
        for (int t = 0; t < kHostThreads; ++t) {
            threads.emplace_back([this, t, end] { Host(t, end); });
        }
        threads.emplace_back([this, end] { WindowHost(end); });
    }

    // The last cycle: each downloader is shut down and initialised once more, and the tasks
    // added then must run to their end, which they are given time for. The window's handlers
    // end first: those of messages posted before this one have returned once it runs.
    quiet_ = true;
    PollUntil([&] { return answering_ == 0; }, 60000);
    std::atomic<bool> drained{false};
    window_->Post([&] { drained = true; });
    PollUntil([&] { return drained.load(); }, 60000);
    window_ = nullptr;
    for (int i = 0; i < kSlots; ++i) {
        NewDownloader(i);
        std::shared_lock lock(slots_[i].lock);
        const Target t = Current(i);
        if (t.downloader != nullptr) {
            Shutdown(t, false);
            Init(t);
            for (int task = 0; task < 2; ++task) {
                cycleTasks_.push_back(AddTask(t, false, NewName()));
            }
        }
    }
    PollUntil(
        [&] {
            std::lock_guard lock(recordLock_);
            return std::all_of(cycleTasks_.begin(), cycleTasks_.end(), [&](const auto& key) {
                return std::any_of(notes_.begin(), notes_.end(),
                                   [&](const Note& note) { return note.key == key; });
            });
        },
        30000, 50);
    cycleEnd_ = Now();
    for (int i = 0; i < kSlots; ++i) {
        Release(i, slots_[i].number, false);
    }
    done = true;
}

// What the log and the records say, indexed for the invariants.
struct Facts {
    const std::vector<Call>& calls;
    const std::vector<Note>& notes;
    const std::vector<EngineCall>& log;
    int leftBehind;
    std::wstring freedBlockTouched;
    const std::vector<std::wstring>& cycleTasks;
    uint64_t cycleEnd;

    std::map<std::wstring, std::size_t> startOf; // target key -> log index of its PPStartTaskEx
    std::map<uint32_t, std::vector<std::size_t>> callsOf; // handle -> log indices
    std::map<DWORD, std::vector<std::size_t>> byThread;
    std::map<std::wstring, const Call*> taken; // key -> its AddTask that returned 1
    std::map<int, const Call*> initOf;         // session -> Init
    // A callback ends with the first Uninit or Release of its downloader begun after its Init
    // returned.
    std::map<int, uint64_t> sessionEnd;
    std::map<std::wstring, std::vector<const Note*>> notesOf; // key -> notes
    std::vector<const Call*> shutdowns;

    Facts(const Stress& stress, const std::vector<EngineCall>& engineLog, int left,
          std::wstring touched)
        : calls(stress.calls_), notes(stress.notes_), log(engineLog), leftBehind(left),
          freedBlockTouched(std::move(touched)), cycleTasks(stress.cycleTasks_),
          cycleEnd(stress.cycleEnd_) {
        for (std::size_t i = 0; i < log.size(); ++i) {
            const EngineCall& call = log[i];
            byThread[call.threadId].push_back(i);
            if (call.name == "PPStartTaskEx") {
                const std::wstring file = call.text2.substr(call.text2.find_last_of(L'\\') + 1);
                startOf[file.substr(0, file.size() - 4)] = i;
            }
            if (call.handle != 0) {
                callsOf[call.handle].push_back(i);
            }
        }
        for (const Call& call : calls) {
            if (call.op == Op::AddTask && call.result == 1) {
                taken[call.key] = &call;
            } else if (call.op == Op::Init) {
                initOf[call.session] = &call;
            } else if (IsShutdown(call.op)) {
                shutdowns.push_back(&call);
            }
        }
        for (const auto& [session, init] : initOf) {
            sessionEnd[session] = UINT64_MAX;
            for (const Call* call : shutdowns) {
                if (call->downloader == init->downloader && call->begin > init->end) {
                    sessionEnd[session] = std::min(sessionEnd[session], call->end);
                }
            }
        }
        for (const Note& note : notes) {
            notesOf[note.key.empty() ? TaskOfProgress(note) : note.key].push_back(&note);
        }
    }

    // A progress notification comes from the worker whose transfer was last started on its
    // thread before it was sent (a thread's number comes back only after it ended).
    std::wstring TaskOfProgress(const Note& note) const {
        const auto thread = byThread.find(note.thread);
        std::wstring key;
        for (std::size_t i : thread != byThread.end() ? thread->second : std::vector<size_t>{}) {
            if (i < note.logCount && log[i].name == "PPStartTaskEx") {
                const std::wstring file = log[i].text2.substr(log[i].text2.find_last_of(L'\\') + 1);
                key = file.substr(0, file.size() - 4);
            }
        }
        return key;
    }
    // A task of the cancel's downloader and name, added before the cancel returned.
    static bool Candidate(const Call& add, const Call& cancel) {
        return add.downloader == cancel.downloader && add.name == cancel.name &&
               add.begin < cancel.end;
    }
    // Whether the task was surely off its downloader's list by `when`: its final notification
    // had begun, or a shutdown begun after it was taken had returned (which empties the list).
    bool EndedBefore(const Call& add, uint64_t when) const {
        const auto notes = notesOf.find(add.key);
        if (notes != notesOf.end() &&
            std::any_of(notes->second.begin(), notes->second.end(), [&](const Note* note) {
                return note->kind != MOBILEDRV_NOTIFY_PROGRESS && note->begin < when;
            })) {
            return true;
        }
        return std::any_of(shutdowns.begin(), shutdowns.end(), [&](const Call* shutdown) {
            return shutdown->downloader == add.downloader && shutdown->begin > add.end &&
                   shutdown->end < when;
        });
    }
    uint32_t HandleOf(const std::wstring& key) const {
        const auto start = startOf.find(key);
        return start == startOf.end() ? 0u : log[start->second].handle;
    }
    // The calls of a handle, or none.
    const std::vector<std::size_t>& CallsOf(uint32_t handle) const {
        static const std::vector<std::size_t> none;
        const auto found = callsOf.find(handle);
        return found == callsOf.end() ? none : found->second;
    }
    // Whether the notification was decided after `endTick`: the call it reports is the worker's
    // last query (or refused start) begun before it; what follows a notification on its thread
    // may share its tick, but it is a wait of a second, or the removal of a transfer cancelled
    // meanwhile.
    bool DecidedAfter(const Note& note, DWORD endTick, std::wstring& told) const {
        const EngineCall* before = nullptr;
        const auto thread = byThread.find(note.thread);
        for (std::size_t i : thread != byThread.end() ? thread->second : std::vector<size_t>{}) {
            const bool reported = log[i].name == "PPQueryTaskEx" || log[i].name == "PPStartTaskEx";
            before = reported && i < note.logCount ? &log[i] : before;
        }
        told = L"kind " + std::to_wstring(note.kind) + L" of " + note.name + L" (" + note.key +
               L") at tick " + std::to_wstring(note.tick) + L" on thread " +
               std::to_wstring(note.thread) +
               (before == nullptr
                    ? std::wstring(L"; no engine call before")
                    : L"; the engine call before, " + Text(before->name) + L" of handle " +
                          std::to_wstring(before->handle) + L", returned at tick " +
                          std::to_wstring(before->tickReturned));
        return before == nullptr || before->tickReturned > endTick;
    }
    static std::wstring Text(const std::string& text) { return {text.begin(), text.end()}; }
};

// Each invariant adds a line for every case that violates it.
using Cases = std::vector<std::wstring>;

void NoNoteAfterShutdown(const Facts& f, Cases& cases) {
    for (const Note& note : f.notes) {
        if (f.initOf.at(note.session)->result != 1 || note.begin > f.sessionEnd.at(note.session)) {
            cases.push_back(L"kind " + std::to_wstring(note.kind) + L" of " + note.name);
        }
    }
}

// A notification may be on its way when CancelTask returns; it must have been decided after the
// engine call before it returned, which the log times. Of the tasks of that name running when
// the cancel began (added, no final notification begun), at least one goes silent.
void NoNoteAfterCancel(const Facts& f, Cases& cases) {
    for (const Call& cancel : f.calls) {
        if (cancel.op != Op::CancelTask || cancel.result != 1) {
            continue;
        }
        std::wstring firstTold;
        bool silenced = false, running = false;
        for (const auto& [key, add] : f.taken) {
            if (!f.Candidate(*add, cancel)) {
                continue;
            }
            const auto notes = f.notesOf.find(key);
            const bool ended = f.EndedBefore(*add, cancel.begin);
            bool noted = false;
            std::wstring told;
            for (const Note* note :
                 notes != f.notesOf.end() ? notes->second : std::vector<const Note*>{}) {
                if (!noted && note->begin > cancel.end &&
                    f.DecidedAfter(*note, cancel.endTick, told)) {
                    noted = true;
                    firstTold = firstTold.empty() ? told : firstTold;
                }
            }
            running |= !ended;
            silenced |= !ended && !noted;
        }
        if (running && !silenced) {
            cases.push_back(firstTold + L"; " + Describe(cancel));
        }
    }
}

void NoCancelOfEndedTask(const Facts& f, Cases& cases) {
    for (const Call& cancel : f.calls) {
        if (cancel.op != Op::CancelTask || cancel.result != 1) {
            continue;
        }
        bool running = false;
        for (const auto& [key, add] : f.taken) {
            running |= f.Candidate(*add, cancel) && !f.EndedBefore(*add, cancel.begin);
        }
        if (!running) {
            cases.push_back(cancel.name + L": " + Describe(cancel));
        }
    }
}

// A task or DownloadNow that began before a shutdown of its downloader calls the engine no more
// once it returned (after a shutdown from OnNotify, which does not wait for its own worker: no
// start).
void NoCallAfterShutdown(const Facts& f, Cases& cases) {
    for (const Call* shutdown : f.shutdowns) {
        for (const Call& call : f.calls) {
            const bool task = call.op == Op::AddTask && call.result == 1;
            if ((!task && call.op != Op::DownloadNow) || call.downloader != shutdown->downloader ||
                (task ? call.endTick : call.beginTick) >= shutdown->beginTick) {
                continue;
            }
            const auto start = f.startOf.find(call.key);
            if (start == f.startOf.end()) {
                continue;
            }
            std::vector<std::size_t> indices = f.CallsOf(f.log[start->second].handle);
            if (shutdown->fromNotify || indices.empty()) {
                indices = {start->second};
            }
            for (std::size_t i : indices) {
                if (f.log[i].tickCalled > shutdown->endTick) {
                    cases.push_back(Facts::Text(f.log[i].name) + L" of " + call.key);
                }
            }
        }
    }
}

// A task taken once a shutdown has ended runs on the engine of an Init that installed it after
// that end: one that began before the transfer started and returned after the shutdown began.
// A task whose AddTask began after the shutdown began may have been taken before it, but then
// the shutdown cancelled it and waited for it.
void NoStartOnDroppedEngine(const Facts& f, Cases& cases) {
    for (const Call* shutdown : f.shutdowns) {
        for (const auto& [key, add] : f.taken) {
            if (add->downloader != shutdown->downloader || add->begin < shutdown->begin ||
                f.HandleOf(key) == 0) {
                continue;
            }
            const EngineCall& start = f.log[f.startOf.at(key)];
            const bool installed =
                std::any_of(f.calls.begin(), f.calls.end(), [&](const Call& init) {
                    return init.op == Op::Init && init.result == 1 &&
                           init.downloader == add->downloader && init.end > shutdown->begin &&
                           init.beginTick <= start.tickCalled;
                });
            DWORD last = 0;
            for (std::size_t i : f.CallsOf(start.handle)) {
                last = std::max(last, f.log[i].tickCalled);
            }
            if (!installed && last > shutdown->endTick) {
                cases.push_back(key + (add->fromNotify ? L" (added from OnNotify)" : L"") +
                                L" started at tick " + std::to_wstring(start.tickCalled) +
                                L", engine called until tick " + std::to_wstring(last) + L"; " +
                                Describe(*shutdown));
            }
        }
    }
}

void NoCallAfterClose(const Facts& f, Cases& cases) {
    std::set<uint32_t> closed, started;
    int instances = 0;
    for (const EngineCall& call : f.log) {
        if (call.name == "PPInit2") {
            ++instances;
        } else if (call.name == "PPClose" && instances > 0 && --instances == 0) {
            closed.insert(started.begin(), started.end());
        } else if (call.name == "PPStartTaskEx" && call.handle != 0) {
            started.insert(call.handle);
        } else if (call.handle != 0) {
            if (closed.count(call.handle) != 0) {
                cases.push_back(Facts::Text(call.name) + L" of handle " +
                                std::to_wstring(call.handle));
            }
            if (call.name == "PPCloseHandle") {
                closed.insert(call.handle);
            }
        }
    }
}

void EndsOnce(const Facts& f, Cases& cases) {
    std::map<std::wstring, int> finals;
    for (const Note& note : f.notes) {
        finals[note.key] += note.kind != MOBILEDRV_NOTIFY_PROGRESS ? 1 : 0;
    }
    for (const auto& [key, count] : finals) {
        if (count > 1 || (count == 1 && !f.taken.count(key))) {
            cases.push_back(key + L": " + std::to_wstring(count) + L" finals");
        }
    }
    for (const auto& [key, add] : f.taken) {
        const uint32_t handle = f.HandleOf(key);
        if (handle == 0) {
            continue;
        }
        std::vector<std::string> ends;
        std::wstring calls; // the transfer's engine calls, told for a violation
        for (std::size_t i : f.CallsOf(handle)) {
            calls += L" " + Facts::Text(f.log[i].name) + L"=" + std::to_wstring(f.log[i].result);
            if (f.log[i].name == "PPRemoveTask" || f.log[i].name == "PPCloseHandle") {
                ends.push_back(f.log[i].name);
            }
        }
        const bool removed = ends == std::vector<std::string>{"PPRemoveTask", "PPCloseHandle"};
        const int count = finals.count(key) ? finals.at(key) : 0;
        if (count + (removed ? 1 : 0) != 1 || (!removed && !ends.empty())) {
            cases.push_back(key + L" " + add->name + L" (" +
                            (add->fromNotify ? L"added from OnNotify, " : L"") +
                            std::to_wstring(count) + L" finals):" + calls);
        }
    }
}

void ShutdownWithinLimit(const Facts& f, Cases& cases) {
    for (const Call* call : f.shutdowns) {
        if (call->endTick - call->beginTick > kShutdownPastWorkerWaitMs) {
            cases.push_back(Describe(*call));
        }
    }
}

// Hung calls end the run from the watch (Stress::Watch); this row takes the slow ones.
void CallWithinBound(const Facts& f, Cases& cases) {
    for (const Call& call : f.calls) {
        if (!IsShutdown(call.op) && call.endTick - call.beginTick > BoundOf(call.op)) {
            cases.push_back(Describe(call));
        }
    }
}

// Evidence of an installed engine: a DownloadNow that runs after the Init returned, with no
// shutdown of the downloader and no Init the engine refused (which shuts down) meanwhile, reaches
// the engine.
void InitKeepsEngine(const Facts& f, Cases& cases) {
    for (const Call& now : f.calls) {
        if (now.op != Op::DownloadNow || f.startOf.count(now.key)) {
            continue;
        }
        const Call* init = nullptr;
        for (const Call& call : f.calls) {
            if (call.op == Op::Init && call.result == 1 && call.downloader == now.downloader &&
                call.end < now.begin && (init == nullptr || call.end > init->end)) {
                init = &call;
            }
        }
        if (init == nullptr) {
            continue;
        }
        const bool disturbed = std::any_of(f.calls.begin(), f.calls.end(), [&](const Call& c) {
            return c.downloader == now.downloader &&
                   ((IsShutdown(c.op) && c.end > init->begin && c.begin < now.end) ||
                    (c.op == Op::Init && c.result != 1 && c.end > now.begin && c.begin < now.end));
        });
        if (!disturbed) {
            cases.push_back(now.key + L" did not reach the engine; " + Describe(*init));
        }
    }
}

// An Init made from a message answered inside a shutdown of the same downloader on that thread.
void NoInitDuringShutdown(const Facts& f, Cases& cases) {
    for (const Call& init : f.calls) {
        if (init.op != Op::Init || init.result != 1 || !init.reentry) {
            continue;
        }
        for (const Call* shutdown : f.shutdowns) {
            if (shutdown->downloader == init.downloader && shutdown->thread == init.thread &&
                shutdown->begin < init.begin && init.end < shutdown->end) {
                cases.push_back(Describe(init) + L" inside " + Describe(*shutdown));
                break;
            }
        }
    }
}

void CycleTasksRun(const Facts& f, Cases& cases) {
    for (const std::wstring& key : f.cycleTasks) {
        const auto notes = f.notesOf.find(key);
        const bool notified =
            notes != f.notesOf.end() &&
            std::any_of(notes->second.begin(), notes->second.end(), [&](const Note* note) {
                return note->kind != MOBILEDRV_NOTIFY_PROGRESS && note->begin < f.cycleEnd;
            });
        if (!f.taken.count(key) || !f.startOf.count(key) || !notified) {
            cases.push_back(key + (f.taken.count(key) ? L" taken" : L" refused") +
                            (f.startOf.count(key) ? L", started" : L", never started") +
                            (notified ? L", notified" : L", no final notification"));
        }
    }
}

void NoFreedStateTouched(const Facts& f, Cases& cases) {
    if (!f.freedBlockTouched.empty()) {
        cases.push_back(f.freedBlockTouched);
    }
}

void NothingLeft(const Facts& f, Cases& cases) {
    for (int i = 0; i < f.leftBehind; ++i) {
        cases.push_back(L"see the messages above");
    }
}

struct Invariant {
    const char* name;
    void (*check)(const Facts&, Cases&);
};

const Invariant kInvariants[] = {
    {"notification after the Uninit or Release that ended its callback had returned, or to a "
     "refused callback",
     NoNoteAfterShutdown},
    {"notification of a task decided after the CancelTask that returned 1 for it",
     NoNoteAfterCancel},
    {"CancelTask returned 1 with no task of that name running (none added, or all ended)",
     NoCancelOfEndedTask},
    {"engine call of a downloader's task or DownloadNow after a shutdown begun later returned "
     "(from OnNotify: a start)",
     NoCallAfterShutdown},
    {"transfer of a task added after a shutdown had begun, started before any Init since and "
     "called after it returned",
     NoStartOnDroppedEngine},
    {"engine call for a transfer after its PPCloseHandle or after the last PPClose",
     NoCallAfterClose},
    {"task transfer ended otherwise than by exactly one final notification or PPRemoveTask then "
     "PPCloseHandle; task with two finals",
     EndsOnce},
    {"Uninit or Release longer than 11 s", ShutdownWithinLimit},
    {"host call returned within its bound", CallWithinBound},
    {"Init that returned 1 left no engine before a shutdown of its downloader began",
     InitKeepsEngine},
    {"Init inside a shutdown of its downloader returned 1", NoInitDuringShutdown},
    {"task added after the last Uninit and Init did not start or notify its end", CycleTasksRun},
    {"state of a released downloader touched after its memory was freed", NoFreedStateTouched},
    {"threads, handles or engine loads left at the end", NothingLeft},
};

int Stress::Check(const std::vector<EngineCall>& log, int leftBehind) {
    std::size_t blocksKept = 0;
    const Facts facts(*this, log, leftBehind, FirstTouchedFreedBlock(blocksKept));
    int total = 0;
    std::printf("%-100s %s\n", "invariant", "violations");
    for (const Invariant& invariant : kInvariants) {
        Cases cases;
        invariant.check(facts, cases);
        const std::wstring told = cases.empty() ? std::wstring() : cases.front();
        const std::string first(told.begin(), told.end());
        std::printf("%-100s %zu%s%s\n", invariant.name, cases.size(),
                    cases.empty() ? "" : "; first: ", cases.empty() ? "" : first.c_str());
        EXPECT_EQ(cases.size(), 0u) << invariant.name;
        total += static_cast<int>(cases.size());
    }

    // How often a lifecycle call overlapped another call of the same downloader, or one of its
    // notifications; and the calls made from handlers inside another call of their downloader.
    std::map<Op, int> ops, fromNotify, fromHandler;
    int lifecycle = 0, overlapping = 0, pairs = 0, reentries = 0;
    for (const Call& call : calls_) {
        ++ops[call.op];
        fromNotify[call.op] += call.fromNotify ? 1 : 0;
        fromHandler[call.op] += call.fromHandler ? 1 : 0;
        reentries += call.reentry ? 1 : 0;
        if (call.op != Op::Init && !IsShutdown(call.op)) {
            continue;
        }
        ++lifecycle;
        int overlaps = 0;
        for (const Call& other : calls_) {
            overlaps += &other != &call && other.downloader == call.downloader &&
                        other.begin < call.end && other.end > call.begin;
        }
        for (const Note& note : notes_) {
            overlaps += note.downloader == call.downloader && note.begin < call.end &&
                        note.end > call.begin;
        }
        overlapping += overlaps > 0 ? 1 : 0;
        pairs += overlaps;
    }
    std::printf("operations (from OnNotify, from handlers):");
    for (const auto& [op, count] : ops) {
        std::printf(" %s %d (%d, %d)", kOpNames[static_cast<int>(op)], count, fromNotify[op],
                    fromHandler[op]);
    }
    std::printf("; notifications %zu; engine calls %zu; freed blocks kept %zu\n", notes_.size(),
                log.size(), blocksKept);
    std::printf("stress seed=%u operations=%zu reentries=%d lifecycle=%d overlapping=%d "
                "overlaps=%d violations=%d\n",
                seed_, calls_.size(), reentries, lifecycle, overlapping, pairs, total);
    EXPECT_GT(overlapping, lifecycle / 4) << "lifecycle calls rarely overlapped others";
    EXPECT_GT(facts.taken.size(), 50u) << "the run did too little to prove anything";
    EXPECT_GT(reentries, 0) << "no handler re-entered a call of its downloader";
    EXPECT_GT(blocksKept, 0u) << "no freed block was kept";
    return total;
}

uint32_t Seed(int instance) {
    if (const char* given = std::getenv("DRVDOWN_STRESS_SEED")) {
        return static_cast<uint32_t>(std::strtoul(given, nullptr, 10));
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint32_t>(now.QuadPart ^ (GetCurrentProcessId() << 16) ^ instance) % 1000000;
}

class LifecycleStress : public DownloaderFixture, public testing::WithParamInterface<int> {
protected:
    void SetUp() override { SetUpTree(); }
};

} // namespace

TEST_P(LifecycleStress, KeepsEveryPromiseWhateverOverlaps) {
    const uint32_t seed = Seed(GetParam());
    const char* runMs = std::getenv("DRVDOWN_STRESS_MS");
    std::printf("stress seed %u (replay: DRVDOWN_STRESS_SEED=%u)\n", seed, seed);
    std::fflush(stdout);

    // The run's window, made before the baseline. Wine starts a desktop process for a thread's
    // first window when the desktop has none running, and keeps a handle to that process's idle
    // event: a window thread made during the run could start one and count as a leak.
    WindowThread window;
    window.Send([] {});

    // One round of every operation first: whatever the system creates once, on first use, is then
    // part of the baseline, and so is this thread's message queue, which its shutdowns need.
    {
        Stress warmUp(Engine(), Out(L""), createInstance, downLoadFile, seed);
        Engine().SetDefaultScript(
            {QueryStep(standin::kStateConnecting, 3), QueryStep(standin::kStateFinished)});
        warmUp.NewDownloader(0);
        std::shared_lock lock(warmUp.slots_[0].lock);
        const auto t = warmUp.Current(0);
        warmUp.Init(t);
        warmUp.AddTask(t, false, L"warm");
        warmUp.AddTask(t, false, L"warm");
        warmUp.CancelTask(t, false, L"warm");
        t.downloader->DownloadNow(kUrl, Out(L"warm.zip").c_str());
        downLoadFile(kUrl, Out(L"warm.zip").c_str());
        Sleep(1500);
        warmUp.Shutdown(t, false);
        lock.unlock();
        warmUp.Release(0, t.number, false);
    }
    Sleep(500);
    Engine().Reset();
    MakeMessageQueue();
    const int threadsBefore = ThreadCount();
    const std::vector<ProcessHandle> handlesBefore = ProcessHandles();
    ASSERT_TRUE(KeepFreedBlocks(GetModuleHandleW(LibraryPath().c_str())));

    auto stress = std::make_unique<Stress>(Engine(), Out(L""), createInstance, downLoadFile, seed);
    stress->Run(runMs != nullptr ? std::strtoul(runMs, nullptr, 10) : 8000, window);
    // Workers still ending have all cancelled their tasks; they end within a poll step.
    PollUntil([&] { return ThreadCount() <= threadsBefore; }, 10000, 100);
    const std::vector<EngineCall> log = Engine().Log();
    int leftBehind = ThreadCount() > threadsBefore ? 1 : 0;
    leftBehind += Engine().Counters().liveInstances != 0 ? 1 : 0;
    const std::string handles = HandleChangesSettled(handlesBefore, 3000);
    EXPECT_EQ(handles, "") << "handles left open or closed twice";
    leftBehind += handles.empty() ? 0 : 1;
    // Last: it unloads the engine, and the engine's log with it.
    leftBehind += EngineLoadedOnlyByTest() ? 0 : 1;
    stress->Check(log, leftBehind);
}

INSTANTIATE_TEST_SUITE_P(Seeds, LifecycleStress, testing::Range(0, 3));
