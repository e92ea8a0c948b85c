// A small DLL for the negative controls of check_hardening.py: built with the flags of the shipped
// library, and once more for each flag without it, so that the check must name that flag's rule.
// The local buffer gives the stack protector a function to guard.
#include <cstring>

extern "C" __declspec(dllexport) int ControlCopyLength(const char* text) {
    char buffer[64];
    std::strncpy(buffer, text, sizeof(buffer) - 1);
    buffer[sizeof(buffer) - 1] = 0;
    return static_cast<int>(std::strlen(buffer));
}
