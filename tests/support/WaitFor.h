// Waiting on what a test observes instead of sleeping a guessed time: polls the condition
// every few milliseconds until it holds or the time is up.
#pragma once
#include <windows.h>

namespace testsupport {

template <class Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = 5000) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(2);
    }
}

}  // namespace testsupport
