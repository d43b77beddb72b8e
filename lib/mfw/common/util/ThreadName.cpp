#include "lib/mfw/common/util/ThreadName.h"

#include <string>

namespace CORE {
namespace {
thread_local std::wstring t_threadName;
}  // namespace

const wchar_t* CurrentThreadName() noexcept { return t_threadName.c_str(); }

void SetCurrentThreadName(const wchar_t* name) noexcept {
    try {
        t_threadName = name ? name : L"";
    } catch (...) {
    }
}

}  // namespace CORE
