// The control interface of the stand-in engine: extra exports of Tolvek.dll through which a test
// scripts what the engine answers and reads back what it was asked. A test loads the same file by
// its full path, so it shares the engine's state with the library that drives it.
//
// Every record here holds only fixed-width fields, so it has the same layout in the x86 and the
// x64 build.
#pragma once

#include <cstddef>
#include <cstdint>

// One step of a transfer's script: what one PPQueryTaskEx call answers.
struct StandInStep {
    uint32_t result = 1;     // nonzero: the query fills the record; zero: it returns false
    int32_t state = 1;       // written at byte 44 of the status record
    uint32_t values[7] = {}; // written at bytes 0, 4, 8, 12, 16, 20 and 36
    uint32_t repeat = 1;     // how many queries the step answers; 0 = every query from then on
};
static_assert(sizeof(StandInStep) == 40);

// Longest string argument the log keeps, in UTF-16 units; longer strings are cut there.
inline constexpr size_t kStandInMaxText = 2048;

// One call of an engine export. An entry is added when the call begins and completed when it
// returns, so a test can see a call that is still blocked in a scripted delay.
struct StandInLogEntry {
    char exportName[32];   // the export's name, NUL-terminated
    uint32_t threadId;     // GetCurrentThreadId of the caller
    uint32_t tickCalled;   // GetTickCount when the call began
    uint32_t tickReturned; // GetTickCount when it returned; 0 while it runs
    uint32_t returned;     // nonzero once the call has returned
    uint32_t handle;       // the task handle argument; for PPStartTaskEx the handle it returned
    uint32_t result;       // the result (truth results as 0 or 1)
    uint32_t argCount;     // how many of args are used
    uint32_t args[6];      // the integer arguments, in order
    wchar_t text1[kStandInMaxText + 1]; // first string argument (client id or URL)
    wchar_t text2[kStandInMaxText + 1]; // second string argument (target path)
};

// The delay name that holds every thread starting in the process in this DLL's
// DLL_THREAD_ATTACH, before the thread runs its own code, with the loader lock held: whatever
// needs that lock (loading or unloading a module, GetModuleHandleEx) waits too until the release.
inline constexpr char kStandInThreadAttach[] = "DLL_THREAD_ATTACH";

struct StandInCounters {
    uint32_t initCalls;     // PPInit2 calls
    uint32_t closeCalls;    // PPClose calls
    uint32_t liveInstances; // PPInit2 calls, whatever they returned, less PPClose calls (never
                            // below 0): a load's PPClose balances its own PPInit2
    uint32_t liveHandles;   // handles PPStartTaskEx returned that neither PPCloseHandle nor the
                            // last PPClose has released
    uint32_t queuedScripts; // scripts pushed and not yet taken by a PPStartTaskEx
};

extern "C" {

// How the transfers a PPStartTaskEx starts are carried out.
enum StandInMode : uint32_t {
    // Each transfer answers its queries from a script (StandIn_PushScript); nothing moves.
    kStandInScripted = 0,
    // Each transfer moves the bytes of its URL (http://, https:// or file://) into its target
    // file on a thread of its own, and its queries report what it did.
    kStandInReal = 1,
};

// Back to the state of a fresh load, except that transfers are scripted: empty log and queue,
// zero counters, no transfers (running real ones are stopped and waited for), default script
// (start succeeds, every query true with state 1), PPInit2 true, next handle 1, no delays.
// Calls blocked in a delay are released.
void __cdecl StandIn_Reset();

// Chooses how transfers started from now on are carried out; transfers already started keep
// their way. A fresh load uses real transfers, unless the environment variable
// STANDIN_TRANSFERS is "scripted" when the engine is first called. Returns 0 for an unknown mode.
uint32_t __cdecl StandIn_SetMode(uint32_t mode);

// What PPInit2 returns from now on.
void __cdecl StandIn_SetInitResult(uint32_t result);

// Queues the script of one transfer; each PPStartTaskEx takes the oldest queued script. With
// startSucceeds zero, that PPStartTaskEx returns 0 and the steps are ignored. A script that starts
// with no steps answers every query with true and state 1.
void __cdecl StandIn_PushScript(uint32_t startSucceeds, const StandInStep* steps, uint32_t count);

// The script a PPStartTaskEx uses when the queue is empty; the same arguments as PushScript.
void __cdecl StandIn_SetDefaultScript(uint32_t startSucceeds, const StandInStep* steps,
                                      uint32_t count);

// The handle the next successful PPStartTaskEx returns (0 and handles in use are skipped).
void __cdecl StandIn_SetNextHandle(uint32_t handle);

// Makes every later call of the named export wait `ms` milliseconds (INFINITE: until released)
// before it does its work. 0 removes the delay. Returns 0 for a name that is not an engine export
// nor kStandInThreadAttach.
uint32_t __cdecl StandIn_SetDelay(const char* exportName, uint32_t ms);

// Removes every delay and wakes the calls that are waiting in one.
void __cdecl StandIn_ReleaseDelays();

// Removes the delay of the named export (or of kStandInThreadAttach) and wakes the calls waiting
// in it; calls of other exports stay held.
void __cdecl StandIn_ReleaseDelay(const char* exportName);

uint32_t __cdecl StandIn_LogCount();
// Calls of one export in the log (all calls when exportName is null).
uint32_t __cdecl StandIn_CallCount(const char* exportName);
// Copies entry `index` (0 = oldest); returns 0 when there is no such entry.
uint32_t __cdecl StandIn_GetLogEntry(uint32_t index, StandInLogEntry* entry);

void __cdecl StandIn_GetCounters(StandInCounters* counters);

} // extern "C"
