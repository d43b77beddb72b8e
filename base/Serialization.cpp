#include "Serialization.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <cstring>

bool DuplicateSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* source,
                            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* destination) noexcept {
    if (!source || !destination) return false;
    if (source->cbSerialization == 0 || source->rgbSerialization == nullptr) return false;
    destination->ulAuthenticationPackage = source->ulAuthenticationPackage;
    destination->clsidCredentialProvider = source->clsidCredentialProvider;
    destination->cbSerialization = source->cbSerialization;
    destination->rgbSerialization = static_cast<byte*>(::CoTaskMemAlloc(source->cbSerialization));
    if (!destination->rgbSerialization) {
        destination->cbSerialization = 0;
        CORE::LogMessage(CORE::LOG_TRACE, L"%s: CoTaskMemAlloc failed to allocate '%u' bytes.",
                         L"DuplicateSerialization", static_cast<unsigned>(source->cbSerialization));
        return false;
    }
    std::memcpy(destination->rgbSerialization, source->rgbSerialization, source->cbSerialization);
    return true;
}

void DiscardSerialization(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* serialization) noexcept {
    if (serialization->rgbSerialization) {
        ::SecureZeroMemory(serialization->rgbSerialization, serialization->cbSerialization);
        ::CoTaskMemFree(serialization->rgbSerialization);
    }
    serialization->rgbSerialization = nullptr;
    serialization->cbSerialization = 0;
}

void LogonBuffer::HandTo(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* serialization, ULONG package,
                         REFCLSID provider) noexcept {
    serialization->ulAuthenticationPackage = package;
    serialization->clsidCredentialProvider = provider;
    serialization->rgbSerialization = data_;
    serialization->cbSerialization = size_;
    data_ = nullptr;
    size_ = 0;
}

void LogonBuffer::Reset() noexcept {
    if (data_) {
        ::SecureZeroMemory(data_, size_);
        ::CoTaskMemFree(data_);
    }
    data_ = nullptr;
    size_ = 0;
}
