// A private HKLM for the whole driver process (and the module DLL it loads): every HKLM access
// goes to a fresh key under HKCU, so the settings and key vault keys of a run stay out of the
// prefix and runs side by side do not meet. Wine's DPAPI looks up its crypto provider under
// HKLM, so that registration is copied in.
#pragma once
#include "platform/UniqueResource.h"

#include <string>

namespace fuzz {

class PrivateMachine {
public:
    PrivateMachine();
    ~PrivateMachine();
    PrivateMachine(const PrivateMachine&) = delete;
    PrivateMachine& operator=(const PrivateMachine&) = delete;

    bool ok() const noexcept { return ok_; }
    // A string value under `keyPath` (relative to HKLM).
    bool SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value);

private:
    std::wstring path_;  // under HKCU
    platform::unique_hkey root_;
    bool ok_ = false;
};

}  // namespace fuzz
