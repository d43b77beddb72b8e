// The module reference count that decides unloading: every COM object of the module holds
// one reference from construction to destruction, and so does each LockServer(TRUE).
#pragma once
#include <windows.h>

void DllAddRef() noexcept;
void DllRelease() noexcept;
LONG DllRefCount() noexcept;
