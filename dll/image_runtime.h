// What the library's DLL needs of a C and C++ runtime, which it does not link (image_runtime.cpp).
#pragma once

#include <cstdint>

// The stack protector's canary: every function with a buffer on its stack keeps a copy of it in
// its frame and compares the two before it returns.
extern "C" std::uintptr_t __stack_chk_guard;

// Draws the canary from the system's random source. The entry point calls it first, before any
// function that keeps a copy runs; false when the system gave no random bytes.
bool DrawStackCanary();
