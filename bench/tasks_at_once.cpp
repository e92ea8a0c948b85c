// Figure 7 (x86): how many tasks a 32-bit host runs at once before AddTask returns 0, and that
// every one of them still ends properly.
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "standin_engine/status_values.h"

#include <algorithm>
#include <map>

namespace bench {

// Each task has a worker thread of its own, and a thread takes address space (its stack, the
// program's default stack reserve, and what the system maps for a thread besides), so the user
// address space of the process is what runs out. Tasks are added until an AddTask returns 0,
// while every PPQueryTaskEx waits inside the engine, so that no task can end. Then the engine
// answers state 1: every task taken must end with exactly one success notification, and after
// Uninit and Release the process must hold the handles it held before.
void TasksAtOnce(Bench& b) {
    // More tasks than 4 GiB holds stacks of 1 MiB: the address space runs out first.
    constexpr std::size_t kMostTasks = 8192;
    const auto* image = reinterpret_cast<const char*>(GetModuleHandleW(nullptr));
    const auto& headers = *reinterpret_cast<const IMAGE_NT_HEADERS*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const bool aware = (headers.FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE) != 0;
    Heading(7, Format("Tasks running at once in a 32-bit host before AddTask returns 0 (x86 only; "
                      "scripted engine that holds every query; the exe: default stack reserve "
                      "%.0f KiB, %slarge-address-aware)",
                      static_cast<double>(headers.OptionalHeader.SizeOfStackReserve) / 1024,
                      aware ? "" : "not "));
    b.UseScriptedState(standin::kStateFinished);
    b.engine.SetDelay("PPQueryTaskEx", INFINITE);
    const int threadsBefore = ThreadCount();
    const double handlesBefore = Handles();
    Callback callback(kMostTasks);
    auto downloader = b.Ready(callback);
    Progress("figure 7: adding running tasks until AddTask returns 0");
    std::size_t refused = 0;
    const std::size_t taken = AddTasks(*downloader, kMostTasks, b, &refused);
    // Each worker queries its transfer a poll interval after starting it, and that query stays in
    // the engine.
    b.engine.WaitForCalls("PPQueryTaskEx", static_cast<uint32_t>(taken), 30000);
    const uint32_t waiting = b.engine.CallCount("PPQueryTaskEx");
    b.engine.ReleaseDelays();
    callback.Finals(taken, 60000);
    downloader->Uninit();
    downloader.reset();
    const bool workersEnded = PollUntil([&] { return ThreadCount() <= threadsBefore; }, 30000);
    const double handlesLeft = Handles() - handlesBefore;
    std::map<int, int> successes; // by task
    std::size_t others = 0;
    for (const Callback::Final& final : callback.Finals(0, 0)) {
        if (final.kind == MOBILEDRV_NOTIFY_SUCCEEDED) {
            ++successes[final.task];
        } else {
            ++others;
        }
    }
    const auto once = static_cast<std::size_t>(std::count_if(
        successes.begin(), successes.end(), [](const auto& task) { return task.second == 1; }));

    Row(7, "tasks running when AddTask first returned 0", Format("%zu", taken), "(once)");
    Row(7, "of them, tasks whose worker waited in its first engine query", Format("%u", waiting),
        "(once)");
    Row(7, Format("AddTask returned 0 past the limit (calls that did: %zu)", refused),
        refused > 0 ? "yes" : "no", "(once)", "yes", refused > 0 && taken < kMostTasks);
    Row(7,
        Format("tasks with one success notification after state 1 (more: %zu, other kinds: %zu)",
               successes.size() - once, others),
        Format("%zu of %zu", once, taken), "(once)", "all",
        once == taken && successes.size() == taken && others == 0);
    Row(7, "handles after Uninit and Release - before CreateInstance, workers ended",
        Format("%+.0f", handlesLeft), "(once)", "= 0", workersEnded && handlesLeft == 0);
}

} // namespace bench
