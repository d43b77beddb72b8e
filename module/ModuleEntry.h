// The module's entry work: which host processes it refuses, what attach does (logging, pinning),
// what starts with the first class object, and what detach and unload tear down.
#pragma once
#include <windows.h>

#include <string>

// The work of the DLL entry point for every reason; FALSE refuses the host process. Detach at
// process exit (`reserved` non-null) only writes the log; detach by FreeLibrary tears down.
BOOL ModuleEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept;

// What the module runs beside its COM objects (the reconnect monitor), started once from
// DllGetClassObject rather than under the loader lock; again after a teardown.
void StartModuleWork() noexcept;

// Stops and releases the reconnect monitor and the re-enumeration channel (each a no-op when
// already done); shared by DllCanUnloadNow and process detach.
void TeardownModuleObjects() noexcept;

// True when the module refuses to run in a host with this executable base name.
bool IsExcludedHost(const std::wstring& baseName);

// The module handle stored by the entry routine (null before attach).
HINSTANCE ModuleInstance() noexcept;
