#include "ModuleRef.h"

namespace {
volatile LONG g_moduleRefs = 0;
}

void DllAddRef() noexcept { ::InterlockedIncrement(&g_moduleRefs); }
void DllRelease() noexcept { ::InterlockedDecrement(&g_moduleRefs); }
LONG DllRefCount() noexcept { return ::InterlockedCompareExchange(&g_moduleRefs, 0, 0); }
