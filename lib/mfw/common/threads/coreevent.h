// The library's event object (a Windows event shared through shared_ptr, so a waiter keeps it
// alive while its owner lets go), and the security of named objects the agent must open.
#pragma once
#include "platform/UniqueResource.h"

#include <windows.h>

#include <memory>

namespace CORE {

class coreevent {
public:
    // Creates (or opens, when it exists) a named event with DefaultNamedObjectSecurity().
    // Throws coreException "Failed to create event" with the system error code.
    static std::shared_ptr<coreevent> CreateNamed(const wchar_t* name, bool manualReset);
    // An unnamed event; throws like CreateNamed when it cannot be created.
    static std::shared_ptr<coreevent> CreateUnnamed(bool manualReset);

    HANDLE Handle() const noexcept { return handle_.get(); }
    bool Set() noexcept { return ::SetEvent(handle_.get()) != FALSE; }
    bool Reset() noexcept { return ::ResetEvent(handle_.get()) != FALSE; }
    DWORD Wait(DWORD timeoutMs) const noexcept { return ::WaitForSingleObject(handle_.get(), timeoutMs); }

private:
    explicit coreevent(HANDLE handle) noexcept : handle_(handle) {}
    platform::unique_handle handle_;
};

// Named kernel objects shared with the agent's services: full access for LocalSystem and the
// administrators, nothing for anyone else. Built once; null when it could not be built, which
// leaves the system's default security in force.
SECURITY_ATTRIBUTES* DefaultNamedObjectSecurity() noexcept;

}  // namespace CORE
