// Read-outs of the module-wide objects of one loaded copy of the library.
#include "base/module.h"
#include "base/worker_gate.h"

extern "C" const wchar_t* ProbeModuleDir() {
    return g_szModuleDir;
}
extern "C" HANDLE ProbeStopEvent() {
    return g_hStopEvent;
}
extern "C" int ProbeGateCount() {
    return g_workerGate != nullptr ? g_workerGate->Count() : -1;
}
