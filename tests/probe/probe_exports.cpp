// Read-outs of the module-wide objects of one loaded copy of the library, and a fault to inject.
#include "base/module.h"
#include "dll/image_runtime.h"

extern "C" const wchar_t* ProbeModuleDir() {
    return g_szModuleDir;
}
extern "C" HANDLE ProbeStopEvent() {
    return g_hStopEvent;
}
extern "C" std::uintptr_t ProbeStackCanary() {
    return __stack_chk_guard;
}
// Changes the canary while a frame that keeps a copy of it is live, as an overrun of the frame's
// buffer would change the copy: the frame's check fails when it returns.
extern "C" int ProbeBreakStackCanary() {
    volatile char buffer[16] = {};
    __stack_chk_guard ^= 1;
    return buffer[0];
}
