// Serialized credentials on their way between LogonUI, the filter and the tile: a copy the
// destination owns, a discard that wipes first, and the owner of a logon buffer being built.
// Every buffer may hold a ticket or protected secrets, so none is freed unwiped.
#pragma once
#include "platform/sdk/CredProv.h"

bool DuplicateSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* source,
                            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* destination) noexcept;

// Wipes and frees the serialization's buffer (if any) and leaves it empty.
void DiscardSerialization(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* serialization) noexcept;

// Owns a CoTaskMemAlloc logon buffer from the moment a builder fills it until HandTo gives it
// to a serialization; whatever is still held at destruction is wiped and freed.
class LogonBuffer {
public:
    LogonBuffer() noexcept = default;
    ~LogonBuffer() { Reset(); }
    LogonBuffer(const LogonBuffer&) = delete;
    LogonBuffer& operator=(const LogonBuffer&) = delete;

    // The slots a builder's (BYTE**, DWORD*) outputs write to.
    BYTE** Data() noexcept { return &data_; }
    DWORD* Size() noexcept { return &size_; }
    // Gives the buffer, its package and provider to `serialization`; nothing is held afterwards.
    void HandTo(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* serialization, ULONG package,
                REFCLSID provider) noexcept;
    void Reset() noexcept;

private:
    BYTE* data_ = nullptr;
    DWORD size_ = 0;
};
