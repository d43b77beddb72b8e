// Holds the LogonUI stand-ins of a storm until all of them have loaded the DLL, so their logons
// reach the agent together instead of at the pace their processes happen to start.
#pragma once
#include "platform/UniqueResource.h"

#include <string>

namespace logonsim {

// True once `count` processes have arrived at barrier `name`; false after `timeoutMs`.
inline bool WaitAtBarrier(const std::wstring& name, LONG count, DWORD timeoutMs) {
    const std::wstring base = L"Local\\logonsim-barrier-" + name;
    // A new section is zeroed: the first process to arrive starts the count.
    platform::unique_handle section(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), (base + L"-count").c_str()));
    platform::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, (base + L"-go").c_str()));
    platform::unique_view view(section ? ::MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG)) : nullptr);
    if (!view || !go) return false;
    if (::InterlockedIncrement(static_cast<volatile LONG*>(view.get())) >= count) ::SetEvent(go.get());
    return ::WaitForSingleObject(go.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace logonsim
