// One randomized lifecycle stress. Host threads call Init, AddTask, CancelTask, DownloadNow, Uninit
// and Release of a few downloaders at random, and DownLoadFile beside them, with no lock between
// the calls but the rule any object sets its host: no other call of a downloader is in progress or
// begins on a host thread while its Release runs. OnNotify itself calls AddTask, CancelTask,
// Uninit and Release of its own downloader at random, and the stand-in engine answers with random
// delays (under a second), refused starts and initialisations, and unanswered queries. Afterwards
// one table of invariants is checked against the engine's call log and the notifications.
//
// Every run prints its seed. DRVDOWN_STRESS_SEED=N runs seed N again (the choices are the seed's;
// the threads interleave as the machine lets them); DRVDOWN_STRESS_MS sets how long the host
// threads work (10000 ms by default). scripts/stress.sh runs many seeds.
#include "support/downloader_fixture.h"
#include "support/host_thread.h"
#include "support/process_handles.h"
#include "support/timing.h"
#include "support/wait.h"

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
constexpr int kHostThreads = 8;
constexpr DWORD kShutdownLimitMs = kShutdownWaitMs + 1000;

// A reader/writer lock that owns no kernel object: under MinGW's posix thread model a std::mutex
// keeps an event from its first contention, a handle the count at the end would take for the
// library's.
class SlimSharedLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() { AcquireSRWLockShared(&lock_); }
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

// A downloader as the stress calls it: its slot, its number (each CreateInstance gives a new one,
// which the invariants tell downloaders by) and the object.
struct Target {
    int slot;
    int number;
    IMobileDrvDown* downloader;
};

// One call of the host, timed by the run's own clock (a sequence) and by ticks, which the engine's
// log uses too. A tick taken before another is never the greater: only a greater tick proves
// "later".
struct Call {
    Op op;
    int downloader; // its number; -1 for DownLoadFile
    bool fromNotify;
    std::wstring name{}; // the task of AddTask and CancelTask; the target of the downloads
    int session = -1;    // Init: the callback it passed
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
    DWORD thread;
    DWORD tick;
    uint64_t begin, end;
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
    std::atomic<int> number{0}; // read without the lock by a host about to Release
    SlimSharedLock namesLock;
    std::vector<std::wstring> names; // tasks added, for CancelTask to pick from
};

class Stress {
public:
    Stress(StandIn& engine, std::wstring out, CreateInstanceFn create, DownLoadFileFn download,
           uint32_t seed)
        : engine_(engine), out_(std::move(out)), create_(create), download_(download), seed_(seed) {
    }

    uint64_t Now() { return ++clock_; }
    // The seed's n-th number, for threads the library starts.
    uint32_t Roll() {
        uint64_t x = seed_ + 0x9E3779B97F4A7C15ull * ++rolls_;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        return static_cast<uint32_t>((x ^ (x >> 27)) * 0x94D049BB133111EBull >> 32);
    }

    // Makes one call through `body`, which returns its result, and records it.
    template <class Body>
    int Make(Call call, Body body) {
        call.beginTick = GetTickCount();
        call.begin = Now();
        call.result = body();
        call.end = Now();
        call.endTick = GetTickCount();
        std::lock_guard lock(recordLock_);
        calls_.push_back(std::move(call));
        return calls_.back().result;
    }

    // The slot's downloader; call with the slot held.
    Target Current(int slot) { return {slot, slots_[slot].number, slots_[slot].downloader}; }

    void AddTask(const Target& t, bool fromNotify) {
        const std::wstring name = L"t" + std::to_wstring(++names_);
        auto record = TaskRecord(name, kUrl, out_ + name + L".zip");
        if (Make({Op::AddTask, t.number, fromNotify, name},
                 [&] { return t.downloader->AddTask(&record); }) == 1) {
            std::lock_guard lock(slots_[t.slot].namesLock);
            slots_[t.slot].names.push_back(name);
        }
    }
    void CancelTask(const Target& t, bool fromNotify, uint32_t roll) {
        std::wstring name;
        {
            std::lock_guard lock(slots_[t.slot].namesLock);
            const auto& names = slots_[t.slot].names;
            if (names.empty()) {
                return;
            }
            name = names[names.size() - 1 - roll % std::min<std::size_t>(names.size(), 40)];
        }
        Make({Op::CancelTask, t.number, fromNotify, name},
             [&] { return t.downloader->CancelTask(name.c_str()); });
    }
    void Shutdown(const Target& t, bool fromNotify) {
        Make({Op::Uninit, t.number, fromNotify}, [&] { return t.downloader->Uninit(), 0; });
    }
    // Release needs the slot to itself; a caller that cannot have it at once leaves it.
    void Release(int slot, int number, bool fromNotify) {
        std::unique_lock lock(slots_[slot].lock, std::try_to_lock);
        IMobileDrvDown* downloader = slots_[slot].downloader;
        if (lock.owns_lock() && slots_[slot].number == number && downloader != nullptr) {
            Make({Op::Release, number, fromNotify}, [&] { return downloader->Release(), 0; });
            slots_[slot].downloader = nullptr;
        }
    }

    void OnNotify(int session, const Target& t, int kind, void* record) {
        // Both records begin with the task's name.
        Note note{session,
                  t.number,
                  kind,
                  static_cast<const wchar_t*>(record),
                  GetCurrentThreadId(),
                  GetTickCount(),
                  Now(),
                  0};
        // Per ten thousand: AddTask, CancelTask, Uninit, Release.
        const uint32_t roll = Roll() % 10000;
        if (roll < 800) {
            AddTask(t, true);
        } else if (roll < 1200) {
            CancelTask(t, true, roll);
        } else if (roll < 1250) {
            Shutdown(t, true);
        } else if (roll < 1275) {
            Release(t.slot, t.number, true);
        }
        note.end = Now();
        std::lock_guard lock(recordLock_);
        notes_.push_back(std::move(note));
    }

    // One host thread's work until `end`.
    void Host(int thread, DWORD end) {
        std::mt19937 random(seed_ * 31 + thread);
        while (static_cast<int>(end - GetTickCount()) > 0) {
            const int index = static_cast<int>(random() % kSlots);
            // Per mille: the downloads beside, Release, Init, Uninit, AddTask, CancelTask,
            // DownloadNow; the rest of the time the thread only pauses.
            const uint32_t op = random() % 1000;
            if (op < 5) {
                const std::wstring name = L"file" + std::to_wstring(++names_);
                Make({Op::DownLoadFile, -1, false, name},
                     [&] { return download_(kUrl, (out_ + name + L".zip").c_str()); });
            } else if (op < 8) {
                Release(index, slots_[index].number, false);
            } else if (op < 600) {
                std::shared_lock lock(slots_[index].lock);
                const Target t = Current(index);
                if (t.downloader == nullptr) {
                    lock.unlock();
                    NewDownloader(index);
                } else if (op < 78) {
                    Init(t);
                } else if (op < 84) {
                    Shutdown(t, false);
                } else if (op < 484) {
                    AddTask(t, false);
                } else if (op < 584) {
                    CancelTask(t, false, random());
                } else {
                    const std::wstring name = L"now" + std::to_wstring(++names_);
                    Make({Op::DownloadNow, t.number, false, name}, [&] {
                        return t.downloader->DownloadNow(kUrl, (out_ + name + L".zip").c_str());
                    });
                }
            }
            Sleep(random() % 30);
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

    void Run(DWORD runMs);
    // Counts the invariants' violations, printing the table and a summary line; returns the
    // total.
    int Check(const std::vector<EngineCall>& log, int leftBehind);

    Slot slots_[kSlots];

private:
    StandIn& engine_;
    const std::wstring out_; // the targets' folder, with its backslash
    CreateInstanceFn create_;
    DownLoadFileFn download_;
    const uint32_t seed_;
    std::atomic<uint64_t> clock_{0}, rolls_{0};
    std::atomic<int> names_{0}, numbers_{0};
    SlimSharedLock recordLock_;
    std::vector<Call> calls_;
    std::vector<Note> notes_;
    std::deque<std::unique_ptr<Session>> sessions_;
};

void Session::OnNotify(int kind, void* record) {
    stress_.OnNotify(id_, target_, kind, record);
}

void Stress::Run(DWORD runMs) {
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
        steps.push_back(QueryStep(5 + static_cast<int32_t>(random() % 3), 1 + random() % 3));
        const int32_t ends[] = {1, 1, 1, 0, 2, 8};
        steps.push_back(QueryStep(ends[random() % 6]));
        engine.PushScript(steps);
    }
    for (int i = 0; i < kSlots; ++i) {
        NewDownloader(i);
        std::shared_lock lock(slots_[i].lock);
        Init(Current(i));
    }
    const DWORD end = GetTickCount() + runMs;
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
    threads.clear();
    for (int i = 0; i < kSlots; ++i) {
        Release(i, slots_[i].number, false);
    }
}

int Stress::Check(const std::vector<EngineCall>& log, int leftBehind) {
    std::map<std::string, int> rows;
    std::map<std::string, std::string> firsts; // the first violation of each row, told
    const auto violate = [&](const char* row, bool violated, const std::wstring& what) {
        rows[row] += violated;
        if (violated && firsts[row].empty()) {
            firsts[row] = std::string(what.begin(), what.end());
        }
    };
    const char* kNoteAfterShutdown = "notification after the Uninit or Release that ended its "
                                     "callback had returned, or to a refused callback";
    const char* kNoteAfterCancel = "notification of a task decided after its CancelTask "
                                   "returned 1";
    const char* kCallAfterShutdown = "engine call of a downloader's task or DownloadNow after "
                                     "a shutdown begun later returned (from OnNotify: a start)";
    const char* kStartOnDroppedEngine = "transfer of a task added after a shutdown had begun, "
                                        "started before any Init since and called after it "
                                        "returned";
    const char* kCallAfterClose = "engine call for a transfer after its PPCloseHandle or after "
                                  "the last PPClose";
    const char* kEnding = "task transfer ended otherwise than by exactly one final notification "
                          "or PPRemoveTask then PPCloseHandle; task with two finals";
    const char* kSlow = "Uninit or Release longer than 11 s";
    const char* kLeft = "threads, handles or engine loads left at the end";
    for (const char* row : {kNoteAfterShutdown, kNoteAfterCancel, kCallAfterShutdown,
                            kStartOnDroppedEngine, kCallAfterClose, kEnding, kSlow, kLeft}) {
        rows[row] = 0;
    }
    rows[kLeft] = leftBehind;

    // What the engine log says of each transfer: its start, by target, and its calls, by handle.
    std::map<std::wstring, std::size_t> startOf; // target name -> log index
    std::map<uint32_t, std::vector<std::size_t>> callsOf;
    std::map<DWORD, std::vector<std::size_t>> byThread;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const EngineCall& call = log[i];
        byThread[call.threadId].push_back(i);
        if (call.name == "PPStartTaskEx") {
            const std::wstring file = call.text2.substr(call.text2.find_last_of(L'\\') + 1);
            startOf[file.substr(0, file.size() - 4)] = i;
            if (call.handle != 0) {
                callsOf[call.handle].push_back(i);
            }
        } else if (call.handle != 0) {
            callsOf[call.handle].push_back(i);
        }
    }
    const auto handleOf = [&](const std::wstring& name) {
        const auto start = startOf.find(name);
        return start == startOf.end() ? 0u : log[start->second].handle;
    };

    std::map<std::wstring, const Call*> taken, cancelled;
    std::map<int, const Call*> initOf;
    // A callback ends with the first Uninit or Release of its downloader begun after its Init
    // returned.
    std::map<int, uint64_t> sessionEnd;
    for (const Call& call : calls_) {
        violate(kSlow, IsShutdown(call.op) && call.endTick - call.beginTick > kShutdownLimitMs,
                L"downloader " + std::to_wstring(call.downloader) + L": " +
                    std::to_wstring(call.endTick - call.beginTick) + L" ms");
        if (call.op == Op::AddTask && call.result == 1) {
            taken[call.name] = &call;
        } else if (call.op == Op::CancelTask && call.result == 1 &&
                   (!cancelled.count(call.name) || call.end < cancelled[call.name]->end)) {
            cancelled[call.name] = &call;
        } else if (call.op == Op::Init) {
            initOf[call.session] = &call;
        }
    }

    for (const auto& [session, init] : initOf) {
        sessionEnd[session] = UINT64_MAX;
        for (const Call& call : calls_) {
            if (IsShutdown(call.op) && call.downloader == init->downloader &&
                call.begin > init->end) {
                sessionEnd[session] = std::min(sessionEnd[session], call.end);
            }
        }
    }

    std::map<std::wstring, int> finals;
    for (const Note& note : notes_) {
        finals[note.name] += note.kind != MOBILEDRV_NOTIFY_PROGRESS ? 1 : 0;
        violate(kNoteAfterShutdown,
                initOf[note.session]->result != 1 || note.begin > sessionEnd[note.session],
                L"kind " + std::to_wstring(note.kind) + L" of " + note.name);
        // A notification may be on its way when CancelTask returns; it must have been decided
        // after the engine call before it returned, which the log times.
        const auto cancel = cancelled.find(note.name);
        if (cancel != cancelled.end() && note.begin > cancel->second->end) {
            // The call a notification reports is the worker's last query (or refused start) begun
            // by its tick; what follows a notification on its thread may share that tick, but it
            // is a wait of a second, or the removal of a transfer cancelled meanwhile.
            const EngineCall* before = nullptr;
            for (std::size_t i : byThread[note.thread]) {
                const bool reported =
                    log[i].name == "PPQueryTaskEx" || log[i].name == "PPStartTaskEx";
                before = reported && log[i].tickCalled <= note.tick ? &log[i] : before;
            }
            const Call& by = *cancel->second;
            violate(kNoteAfterCancel, before == nullptr || before->tickReturned > by.endTick,
                    L"kind " + std::to_wstring(note.kind) + L" of " + note.name + L" at tick " +
                        std::to_wstring(note.tick) + L" on thread " + std::to_wstring(note.thread) +
                        L"; CancelTask " + (by.fromNotify ? L"from OnNotify " : L"") +
                        L"on thread " + std::to_wstring(by.thread) + L" returned at tick " +
                        std::to_wstring(by.endTick) +
                        (before == nullptr
                             ? std::wstring(L"; no engine call before")
                             : L"; the engine call before, " +
                                   std::wstring(before->name.begin(), before->name.end()) +
                                   L" of handle " + std::to_wstring(before->handle) +
                                   L", called at tick " + std::to_wstring(before->tickCalled) +
                                   L" and returned at tick " +
                                   std::to_wstring(before->tickReturned)));
        }
    }

    for (const Call& shutdown : calls_) {
        if (!IsShutdown(shutdown.op)) {
            continue;
        }
        for (const Call& call : calls_) {
            const bool task = call.op == Op::AddTask && call.result == 1;
            if ((!task && call.op != Op::DownloadNow) || call.downloader != shutdown.downloader ||
                (task ? call.endTick : call.beginTick) >= shutdown.beginTick) {
                continue;
            }
            const auto start = startOf.find(call.name);
            if (start == startOf.end()) {
                continue;
            }
            std::vector<std::size_t> indices = callsOf[log[start->second].handle];
            if (shutdown.fromNotify || indices.empty()) {
                indices = {start->second};
            }
            for (std::size_t i : indices) {
                violate(kCallAfterShutdown, log[i].tickCalled > shutdown.endTick,
                        std::wstring(log[i].name.begin(), log[i].name.end()) + L" of " + call.name);
            }
        }
    }

    // A task taken once a shutdown has ended runs on the engine of an Init that installed it after
    // that end: one that began before the transfer started and returned after the shutdown began.
    // A task whose AddTask began after the shutdown began may have been taken before it, but then
    // the shutdown cancelled it and waited for it.
    for (const Call& shutdown : calls_) {
        if (!IsShutdown(shutdown.op)) {
            continue;
        }
        for (const Call& add : calls_) {
            if (add.op != Op::AddTask || add.result != 1 || add.downloader != shutdown.downloader ||
                add.begin < shutdown.begin || handleOf(add.name) == 0) {
                continue;
            }
            const EngineCall& start = log[startOf[add.name]];
            const bool installed = std::any_of(calls_.begin(), calls_.end(), [&](const Call& init) {
                return init.op == Op::Init && init.result == 1 &&
                       init.downloader == add.downloader && init.end > shutdown.begin &&
                       init.beginTick <= start.tickCalled;
            });
            DWORD last = 0;
            for (std::size_t i : callsOf[start.handle]) {
                last = std::max(last, log[i].tickCalled);
            }
            violate(kStartOnDroppedEngine, !installed && last > shutdown.endTick,
                    add.name + (add.fromNotify ? L" (added from OnNotify)" : L"") +
                        L" started at tick " + std::to_wstring(start.tickCalled) +
                        L", engine called until tick " + std::to_wstring(last) + L"; " +
                        (shutdown.op == Op::Uninit ? L"Uninit" : L"Release") +
                        (shutdown.fromNotify ? L" from OnNotify" : L"") + L" of downloader " +
                        std::to_wstring(shutdown.downloader) + L" from tick " +
                        std::to_wstring(shutdown.beginTick) + L" to " +
                        std::to_wstring(shutdown.endTick));
        }
    }

    std::set<uint32_t> closed, started;
    int instances = 0;
    for (const EngineCall& call : log) {
        if (call.name == "PPInit2") {
            ++instances;
        } else if (call.name == "PPClose" && instances > 0 && --instances == 0) {
            closed.insert(started.begin(), started.end());
        } else if (call.name == "PPStartTaskEx" && call.handle != 0) {
            started.insert(call.handle);
        } else if (call.handle != 0) {
            violate(kCallAfterClose, closed.count(call.handle) != 0,
                    std::wstring(call.name.begin(), call.name.end()) + L" of handle " +
                        std::to_wstring(call.handle));
            if (call.name == "PPCloseHandle") {
                closed.insert(call.handle);
            }
        }
    }

    for (const auto& [name, count] : finals) {
        violate(kEnding, count > 1 || (count == 1 && !taken.count(name)),
                name + L": " + std::to_wstring(count) + L" finals");
    }
    for (const auto& [name, add] : taken) {
        const uint32_t handle = handleOf(name);
        if (handle == 0) {
            continue;
        }
        std::vector<std::string> ends;
        std::wstring calls; // the transfer's engine calls, told for a violation
        for (std::size_t i : callsOf[handle]) {
            calls += L" " + std::wstring(log[i].name.begin(), log[i].name.end()) + L"=" +
                     std::to_wstring(log[i].result);
            if (log[i].name == "PPRemoveTask" || log[i].name == "PPCloseHandle") {
                ends.push_back(log[i].name);
            }
        }
        const bool removed = ends == std::vector<std::string>{"PPRemoveTask", "PPCloseHandle"};
        violate(kEnding, finals[name] + (removed ? 1 : 0) != 1 || (!removed && !ends.empty()),
                name + L" (" + (add->fromNotify ? L"added from OnNotify, " : L"") +
                    (cancelled.count(name) ? L"cancelled, " : L"") + std::to_wstring(finals[name]) +
                    L" finals):" + calls);
    }

    // How often a lifecycle call overlapped another call of the same downloader, or one of its
    // notifications.
    std::map<Op, int> ops, fromNotify;
    int lifecycle = 0, overlapping = 0, pairs = 0;
    for (const Call& call : calls_) {
        ++ops[call.op];
        fromNotify[call.op] += call.fromNotify ? 1 : 0;
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

    int total = 0;
    std::printf("%-100s %s\n", "invariant", "violations");
    for (const auto& [row, count] : rows) {
        std::printf("%-100s %d%s%s\n", row.c_str(), count, count > 0 ? "; first: " : "",
                    firsts[row].c_str());
        EXPECT_EQ(count, 0) << row;
        total += count;
    }
    std::printf("operations (from OnNotify):");
    for (const auto& [op, count] : ops) {
        std::printf(" %s %d (%d)", kOpNames[static_cast<int>(op)], count, fromNotify[op]);
    }
    std::printf("; notifications %zu; engine calls %zu\n", notes_.size(), log.size());
    std::printf("stress seed=%u operations=%zu lifecycle=%d overlapping=%d overlaps=%d "
                "violations=%d\n",
                seed_, calls_.size(), lifecycle, overlapping, pairs, total);
    EXPECT_GT(overlapping, lifecycle / 4) << "lifecycle calls rarely overlapped others";
    EXPECT_GT(taken.size(), 50u) << "the run did too little to prove anything";
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

    // One round of every operation first: whatever the system creates once, on first use, is then
    // part of the baseline, and so is this thread's message queue, which its shutdowns need.
    {
        Stress warmUp(Engine(), Out(L""), createInstance, downLoadFile, seed);
        Engine().SetDefaultScript({QueryStep(5, 3), QueryStep(1)});
        warmUp.NewDownloader(0);
        std::shared_lock lock(warmUp.slots_[0].lock);
        const auto t = warmUp.Current(0);
        warmUp.Init(t);
        warmUp.AddTask(t, false);
        warmUp.AddTask(t, false);
        warmUp.CancelTask(t, false, 0);
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

    auto stress = std::make_unique<Stress>(Engine(), Out(L""), createInstance, downLoadFile, seed);
    stress->Run(runMs != nullptr ? std::strtoul(runMs, nullptr, 10) : 10000);
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
