// Waiting for what sends no signal: the condition is tested now and then until it holds.
#pragma once

#include <windows.h>

namespace drvtest {

// Tests `condition` every `stepMs` until it holds; false when it still did not after `timeoutMs`.
template <class Condition>
bool PollUntil(Condition&& condition, DWORD timeoutMs, DWORD stepMs = 10) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(stepMs);
    }
    return true;
}

} // namespace drvtest
