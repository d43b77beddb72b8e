// What a process holds, counted the way a leak would show: handles from the system's handle
// table (Wine's GetProcessHandleCount answers 0), private memory, threads.
#pragma once
#include <windows.h>

namespace logonsim {

struct ResourceCounts {
    DWORD handles = 0;        // entries of this process in the system handle table
    ULONGLONG privateKb = 0;  // PrivateUsage, or the committed private pages where Wine answers 0
    DWORD threads = 0;        // this process's threads in a Toolhelp snapshot
};

ResourceCounts CountResources();

}  // namespace logonsim
