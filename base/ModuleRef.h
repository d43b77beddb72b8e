// The module reference count that decides unloading: every COM object of the module holds
// one reference from construction to destruction, and so does each LockServer(TRUE).
#pragma once
#include <windows.h>

void DllAddRef() noexcept;
void DllRelease() noexcept;
LONG DllRefCount() noexcept;

// One module reference for the lifetime of the object that holds it.
class ModuleReference {
public:
    ModuleReference() noexcept { DllAddRef(); }
    ~ModuleReference() { DllRelease(); }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};
