// A small DLL for the negative controls of check_hardening.py, made as the
// shipped library is made (no runtime, the library's own load configuration and
// runtime functions, its flags), and once more for each flag without it, so
// that the check must name that flag's rule. The local buffer gives the stack
// protector a function to guard; the table of functions gives the image
// pointers to relocate, and the guard functions whose address is taken and an
// indirect call to check.
#include "dll/image_runtime.h"

#include <windows.h>

extern "C" {

__attribute__((no_stack_protector)) BOOL WINAPI DllEntryPoint(HINSTANCE,
                                                              DWORD reason,
                                                              LPVOID) {
  return reason != DLL_PROCESS_ATTACH || DrawStackCanary();
}

__declspec(dllexport) int ControlCopyLength(const char *text) {
  volatile char buffer[64];
  int length = 0;
  for (; length < 63 && text[length] != 0; ++length) {
    buffer[length] = text[length];
  }
  buffer[length] = 0;
  return length;
}

int ControlTwice(int value) { return 2 * value; }

int ControlNegate(int value) { return -value; }

int (*const kControlOperations[])(int) = {&ControlTwice, &ControlNegate};

__declspec(dllexport) int ControlApply(unsigned operation, int value) {
  return kControlOperations[operation % 2](value) + 1;
}

#if defined(DRVDOWN_CONTROL_UNLISTED_TARGET)
// Its address is stored by assembly, which the compiler does not read: no table
// of the object lists it as a valid call target.
int ControlUnlisted(int value) { return value - 1; }
#if defined(__x86_64__)
__asm__(".section .rdata,\"dr\"\n\t.quad ControlUnlisted\n\t.text");
#else
__asm__(".section .rdata,\"dr\"\n\t.long _ControlUnlisted\n\t.text");
#endif
#endif

} // extern "C"
