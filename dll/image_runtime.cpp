// The few runtime functions that the compiler calls on its own in the library's code, written here
// because the DLL links no C or C++ runtime: the memory and string functions for the copies, fills
// and comparisons it does not inline, `operator delete` for the deleting destructors of classes
// with a virtual destructor, the stack probe for frames larger than a page, and the stack
// protector's canary and its failure path. Built with -fno-builtin, so that the compiler does not
// turn the loops below back into calls of the functions they define.
#include "dll/image_runtime.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <cstdint>

extern "C" {

void* memcpy(void* destination, const void* source, std::size_t count) {
    void* to = destination;
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(source), "+c"(count) : : "memory");
    return destination;
}

void* memset(void* destination, int value, std::size_t count) {
    void* to = destination;
    __asm__ volatile("rep stosb" : "+D"(to), "+c"(count) : "a"(value) : "memory");
    return destination;
}

int memcmp(const void* first, const void* second, std::size_t count) {
    const auto* a = static_cast<const unsigned char*>(first);
    const auto* b = static_cast<const unsigned char*>(second);
    for (; count > 0; --count, ++a, ++b) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
    }
    return 0;
}

int strcmp(const char* first, const char* second) {
    const auto* a = reinterpret_cast<const unsigned char*>(first);
    const auto* b = reinterpret_cast<const unsigned char*>(second);
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b ? 0 : *a < *b ? -1 : 1;
}

std::size_t wcslen(const wchar_t* text) {
    std::size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

// The stack probe, called in the prologue of a function whose frame is larger than a page with the
// frame's size in eax (rax): it touches the stack one page after the other downwards, so that each
// page is committed by its guard page in turn. On x86 it also moves the stack pointer down by that
// size (the caller's frame is then allocated); on x64 the caller does that itself.
#if defined(__i386__)
__attribute__((naked)) void StackProbe() __asm__("__alloca");
void StackProbe() {
    __asm__("pushl %ecx\n\t"
            "leal 8(%esp), %ecx\n\t" // the caller's stack pointer, above the return address
            "1:\n\t"
            "cmpl $0x1000, %eax\n\t"
            "jb 2f\n\t"
            "subl $0x1000, %ecx\n\t"
            "testl %eax, (%ecx)\n\t"
            "subl $0x1000, %eax\n\t"
            "jmp 1b\n"
            "2:\n\t"
            "subl %eax, %ecx\n\t"
            "testl %eax, (%ecx)\n\t"
            "movl %esp, %eax\n\t"
            "movl %ecx, %esp\n\t"   // the new stack pointer
            "movl (%eax), %ecx\n\t" // the caller's ecx
            "pushl 4(%eax)\n\t"     // the return address, onto the new top
            "ret");
}
#else
__attribute__((naked)) void StackProbe() __asm__("___chkstk_ms");
void StackProbe() {
    __asm__("pushq %rcx\n\t"
            "pushq %rax\n\t"
            "leaq 24(%rsp), %rcx\n\t" // the caller's stack pointer, above the return address
            "1:\n\t"
            "cmpq $0x1000, %rax\n\t"
            "jb 2f\n\t"
            "subq $0x1000, %rcx\n\t"
            "testq %rax, (%rcx)\n\t"
            "subq $0x1000, %rax\n\t"
            "jmp 1b\n"
            "2:\n\t"
            "subq %rax, %rcx\n\t"
            "testq %rax, (%rcx)\n\t"
            "popq %rax\n\t"
            "popq %rcx\n\t"
            "ret");
}
#endif

// Drawn by the entry point (DrawStackCanary) before any function compares against it.
std::uintptr_t __stack_chk_guard = 0;

// A canary found changed: the frame that checked it has been overrun, and the process ends at
// once, as Microsoft's /GS ends it. Where the system offers a fast fail, nothing of the process
// runs any more (no exception handler, no unhandled-exception filter); elsewhere the process is
// terminated with the same status.
[[noreturn]] __attribute__((no_stack_protector)) void __stack_chk_fail() {
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
    }
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap();
}

} // extern "C"

__attribute__((no_stack_protector)) bool DrawStackCanary() {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&__stack_chk_guard),
                                          sizeof __stack_chk_guard,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

// The library allocates with HeapNew and frees with HeapDelete (base/heap.h), and never uses `new`;
// the deleting destructors that the compiler makes for classes with a virtual destructor refer to
// this all the same. Memory that reaches it can only be the process heap's.
void operator delete(void* memory) noexcept {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}
