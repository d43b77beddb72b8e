// One side of an SSPI security context through the platform seam: the token exchange of the
// client or the server, the context's attributes and sizes, and message protection.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"
#include "platform/Platform.h"

#include <string>
#include <vector>

namespace CORE {

class SecurityContext {
public:
    SecurityContext() noexcept = default;
    ~SecurityContext();
    SecurityContext(const SecurityContext&) = delete;
    SecurityContext& operator=(const SecurityContext&) = delete;

    // Acquires credentials of `package` for outbound (client) or inbound (server) use.
    SECURITY_STATUS Acquire(const std::wstring& package, bool server);
    // One step of the exchange: the peer's token in (empty on the client's first step), this
    // side's token out. SEC_E_OK when established, SEC_I_CONTINUE_NEEDED for more, else failure.
    SECURITY_STATUS Step(const std::vector<BYTE>& input, std::vector<BYTE>* output);

    void SetTarget(const std::wstring& target, bool useTarget) {
        target_ = target;
        useTarget_ = useTarget;
    }
    void SetRequestFlags(ULONG flags) noexcept { requestFlags_ = flags; }
    bool Established() const noexcept { return established_; }
    ULONG Attributes() const noexcept { return attributes_; }
    const std::wstring& Package() const noexcept { return package_; }
    // Sizes of message protection; valid once established.
    ULONG HeaderBytes() const noexcept { return header_; }
    ULONG TrailerBytes() const noexcept { return trailer_; }

    // body = token length (u32 big-endian), token, encrypted data.
    bool Protect(const BYTE* data, size_t length, SecureBytes* body);
    bool Unprotect(const BYTE* body, size_t length, SecureBytes* data);
    SECURITY_STATUS LastStatus() const noexcept { return last_; }

private:
    platform::ISecurityPackage* sspi_ = nullptr;  // the one that made the handles
    bool server_ = false;
    std::wstring package_;
    std::wstring target_;
    bool useTarget_ = true;
    ULONG requestFlags_ = 0;
    CredHandle credential_{};
    CtxtHandle context_{};
    bool haveCredential_ = false;
    bool haveContext_ = false;
    bool established_ = false;
    ULONG attributes_ = 0;
    ULONG header_ = 0;
    ULONG trailer_ = 0;
    SECURITY_STATUS last_ = SEC_E_OK;
};

}  // namespace CORE
