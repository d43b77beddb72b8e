#include "lib/mfw/common/threads/corerunnable.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <process.h>

#include <cerrno>
#include <mutex>
#include <vector>

namespace CORE {
namespace {

// The default thread group: a duplicate handle of every running library thread. A thread
// removes its entry when it ends; an entry of a thread killed at process exit stays behind
// with a signalled handle, so waiting on it never blocks.
struct ThreadGroup {
    std::mutex lock;
    std::vector<std::pair<DWORD, platform::unique_handle>> threads;
};
ThreadGroup& Group() {
    static ThreadGroup* group = new ThreadGroup;  // never destroyed: threads may outlive statics
    return *group;
}

void AddToGroup(DWORD threadId, HANDLE thread) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        return;
    std::lock_guard<std::mutex> guard(Group().lock);
    Group().threads.emplace_back(threadId, platform::unique_handle(copy));
}

void RemoveFromGroup(DWORD threadId) {
    std::lock_guard<std::mutex> guard(Group().lock);
    auto& threads = Group().threads;
    for (auto it = threads.begin(); it != threads.end(); ++it) {
        if (it->first == threadId) {
            threads.erase(it);
            return;
        }
    }
}

}  // namespace

ULONG coreref::AddRef() noexcept { return static_cast<ULONG>(++refs_); }

ULONG coreref::Release() noexcept {
    LONG count = --refs_;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

corerunnable::corerunnable(const wchar_t* name) noexcept {
    try {
        name_ = name ? name : L"";
    } catch (...) {
    }
}

corerunnable::~corerunnable() = default;

bool corerunnable::StartThread() noexcept {
    AddRef();  // the thread's reference
    // Created suspended so the group knows the thread before it can end.
    unsigned id = 0;
    auto handle = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &corerunnable::ThreadProc, this, CREATE_SUSPENDED, &id));
    if (!handle) {
        int err = errno;
        DWORD gle = ::GetLastError();
        LogMessage(LOG_ERROR, L"corerunnable: FAILED TO CREATE THREAD, name=%s with error %d, %d", name_.c_str(),
                   err, static_cast<int>(gle));
        Release();
        return false;
    }
    threadId_ = id;
    AddToGroup(id, handle);
    thread_.reset(handle);
    ::ResumeThread(handle);
    return true;
}

bool corerunnable::WaitForThreadEnd(DWORD timeoutMs) noexcept {
    if (!thread_) return true;
    if (IsCurrentThread()) return false;
    return ::WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

unsigned __stdcall corerunnable::ThreadProc(void* self) {
    auto* runnable = static_cast<corerunnable*>(self);
    SetCurrentThreadName(runnable->name_.c_str());
    try {
        runnable->ThreadEntry();
    } catch (...) {
        LogMessage(LOG_ERROR, L"corerunnable: unhandled exception in thread %s", runnable->name_.c_str());
    }
    RemoveFromGroup(::GetCurrentThreadId());
    runnable->Release();
    return 0;
}

bool WaitForLibraryThreads(DWORD timeoutMs) noexcept {
    // Waits on copies of the handles: a thread closes its group entry as it ends.
    std::vector<platform::unique_handle> pending;
    {
        std::lock_guard<std::mutex> guard(Group().lock);
        for (auto& entry : Group().threads) {
            if (entry.first == ::GetCurrentThreadId()) continue;
            HANDLE copy = nullptr;
            if (::DuplicateHandle(::GetCurrentProcess(), entry.second.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS))
                pending.emplace_back(copy);
        }
    }
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (auto& thread : pending) {
        ULONGLONG now = ::GetTickCount64();
        DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (::WaitForSingleObject(thread.get(), left) != WAIT_OBJECT_0) return false;
    }
    return true;
}

}  // namespace CORE
