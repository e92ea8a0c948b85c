// A small DLL for the negative controls of check_hardening.py, made as the shipped library is made
// (no runtime, the library's own runtime functions, its flags), and once more for each flag
// without it, so that the check must name that flag's rule. The local buffer gives the stack
// protector a function to guard; the table of functions gives the image pointers to relocate.
#include "dll/image_runtime.h"

#include <windows.h>

extern "C" {

__attribute__((no_stack_protector)) BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD reason, LPVOID) {
    return reason != DLL_PROCESS_ATTACH || DrawStackCanary();
}

__declspec(dllexport) int ControlCopyLength(const char* text) {
    volatile char buffer[64];
    int length = 0;
    for (; length < 63 && text[length] != 0; ++length) {
        buffer[length] = text[length];
    }
    buffer[length] = 0;
    return length;
}

int ControlTwice(int value) {
    return 2 * value;
}

int ControlNegate(int value) {
    return -value;
}

int (*const kControlOperations[])(int) = {&ControlTwice, &ControlNegate};

__declspec(dllexport) int ControlApply(unsigned operation, int value) {
    return kControlOperations[operation % 2](value) + 1;
}

} // extern "C"
