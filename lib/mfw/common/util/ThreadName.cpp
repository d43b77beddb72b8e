#include "lib/mfw/common/util/ThreadName.h"

#include <cwchar>

namespace CORE {
namespace {
// A plain buffer: a thread_local with a destructor is not destroyed when a thread of this DLL
// ends, so a name on the heap would be lost with every thread the library starts and ends.
constexpr size_t kMaxName = 64;
thread_local wchar_t t_threadName[kMaxName];
}  // namespace

const wchar_t* CurrentThreadName() noexcept { return t_threadName; }

void SetCurrentThreadName(const wchar_t* name) noexcept {
    std::wcsncpy(t_threadName, name ? name : L"", kMaxName - 1);
    t_threadName[kMaxName - 1] = L'\0';
}

}  // namespace CORE
