// How many handles this process holds, where the usual call cannot tell, and of which types; and
// how many threads it runs.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace drvtest {

// GetProcessHandleCount, or where that answers 0 (Wine 8 does) the handles found by probing this
// process's handle values one by one.
DWORD ProcessHandleCount();

// One handle of this process: its value and the type of the object it refers to.
struct ProcessHandle {
    ULONG_PTR value = 0;
    // "Event", "Thread", "File"...; "? (status)" when the system does not say, e.g. for a handle
    // closed between the table's reading and the question
    std::wstring type;

    auto operator<=>(const ProcessHandle& other) const = default;
};

// Gives the calling thread its message queue now. The library's shutdowns answer the messages
// sent to the thread that waits (MsgWaitForMultipleObjectsEx), which gives a thread that has none
// its message queue: under Wine a handle of the process, held until the thread ends. A thread
// that counts handles around the shutdowns it calls makes its queue before counting.
void MakeMessageQueue();

// This process's handles, found by probing its handle values, sorted by value.
std::vector<ProcessHandle> ProcessHandles();

// How many handles of each type `handles` holds.
std::map<std::wstring, int> CountByType(const std::vector<ProcessHandle>& handles);

// How the handles of each type changed in number from `before` to `after`, e.g.
// "+2 Event, -1 File"; "" when every type has as many as before.
std::string HandleChanges(const std::vector<ProcessHandle>& before,
                          const std::vector<ProcessHandle>& after);

// Waits up to `timeoutMs` until this process holds as many handles of each type as `before`
// lists; then what still differs, "" when nothing does.
std::string HandleChangesSettled(const std::vector<ProcessHandle>& before, DWORD timeoutMs);

// How many threads this process runs, from a system snapshot.
int ThreadCount();

} // namespace drvtest
