// The module's entry work: which host processes it refuses, what attach starts (reconnect
// monitor, pinning) and what detach and unload tear down.
#pragma once
#include <windows.h>

#include <string>

// The work of the DLL entry point for every reason; FALSE refuses the host process.
BOOL ModuleEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept;

// Stops and releases the reconnect monitor and the re-enumeration channel (each a no-op when
// already done); shared by DllCanUnloadNow and process detach.
void TeardownModuleObjects() noexcept;

// True when the module refuses to run in a host with this executable base name.
bool IsExcludedHost(const std::wstring& baseName);

// The module handle stored by the entry routine (null before attach).
HINSTANCE ModuleInstance() noexcept;
