// Reference-counted objects and the library's runnable thread object: a named thread that
// keeps its object alive while it runs and belongs to the library's default thread group,
// which module teardown waits for.
#pragma once
#include "lib/mfw/common/util/ThreadName.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace CORE {

class coreref {
public:
    coreref() noexcept = default;
    coreref(const coreref&) = delete;
    coreref& operator=(const coreref&) = delete;
    virtual ~coreref() = default;

    virtual ULONG AddRef() noexcept;
    // Deletes the object when the count reaches zero.
    virtual ULONG Release() noexcept;
    LONG RefCount() const noexcept { return refs_.load(); }

private:
    std::atomic<LONG> refs_{1};
};

class corerunnable : public coreref {
public:
    explicit corerunnable(const wchar_t* name) noexcept;
    ~corerunnable() override;

    // Starts ThreadEntry on a new thread holding one reference on this object until it ends.
    // Logs and returns false when the thread cannot be created.
    bool StartThread() noexcept;
    // True when the thread has ended within the time (or never started).
    bool WaitForThreadEnd(DWORD timeoutMs) noexcept;
    bool IsCurrentThread() const noexcept { return threadId_.load() == ::GetCurrentThreadId(); }
    DWORD ThreadId() const noexcept { return threadId_.load(); }
    const wchar_t* Name() const noexcept { return name_.c_str(); }

protected:
    virtual void ThreadEntry() = 0;

private:
    static unsigned __stdcall ThreadProc(void* self);

    std::wstring name_;
    platform::unique_handle thread_;
    std::atomic<DWORD> threadId_{0};
};

// Waits until every thread started by a corerunnable has ended; true when they all have.
bool WaitForLibraryThreads(DWORD timeoutMs) noexcept;

}  // namespace CORE
