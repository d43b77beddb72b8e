#include "lib/mfw/common/channel/SecurityContext.h"

#include "lib/mfw/common/bag/ByteData.h"

namespace CORE {

SecurityContext::~SecurityContext() {
    if (!sspi_) return;
    auto& p = *sspi_;
    if (haveContext_) p.DeleteContext(&context_);
    if (haveCredential_) p.FreeCredentials(&credential_);
}

SECURITY_STATUS SecurityContext::Acquire(const std::wstring& package, bool server) {
    server_ = server;
    package_ = package;
    sspi_ = &platform::Get().SecurityPackage();
    TimeStamp expiry{};
    last_ = sspi_->AcquireCredentials(package.c_str(), server ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND,
                                      &credential_, &expiry);
    haveCredential_ = last_ == SEC_E_OK;
    return last_;
}

SECURITY_STATUS SecurityContext::Step(const std::vector<BYTE>& input, std::vector<BYTE>* output) {
    output->clear();
    if (!haveCredential_) return last_ = SEC_E_NO_CREDENTIALS;
    SecBuffer inBuffer{static_cast<ULONG>(input.size()), SECBUFFER_TOKEN, const_cast<BYTE*>(input.data())};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    TimeStamp expiry{};
    auto& p = *sspi_;
    SECURITY_STATUS status;
    if (server_) {
        status = p.AcceptContext(&credential_, haveContext_ ? &context_ : nullptr, &inDesc,
                                     requestFlags_ | ASC_REQ_ALLOCATE_MEMORY, &context_, &outDesc, &attributes, &expiry);
    } else {
        status = p.InitializeContext(&credential_, haveContext_ ? &context_ : nullptr,
                                         useTarget_ && !target_.empty() ? target_.c_str() : nullptr,
                                         requestFlags_ | ISC_REQ_ALLOCATE_MEMORY, haveContext_ ? &inDesc : nullptr,
                                         &context_, &outDesc, &attributes, &expiry);
    }
    if (outBuffer.pvBuffer) {
        const BYTE* token = static_cast<const BYTE*>(outBuffer.pvBuffer);
        output->assign(token, token + outBuffer.cbBuffer);
        ::SecureZeroMemory(outBuffer.pvBuffer, outBuffer.cbBuffer);
        p.FreeContextBuffer(outBuffer.pvBuffer);
    }
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) haveContext_ = true;
    if (status == SEC_E_OK) {
        established_ = true;
        attributes_ = attributes & ~static_cast<ULONG>(ISC_RET_ALLOCATED_MEMORY);
        SecPkgContext_Sizes sizes{};
        if (p.QueryContextAttributes(&context_, SECPKG_ATTR_SIZES, &sizes) == SEC_E_OK) {
            header_ = sizes.cbSecurityTrailer;
            trailer_ = sizes.cbBlockSize;
        }
    }
    return last_ = status;
}

bool SecurityContext::Protect(const BYTE* data, size_t length, SecureBytes* body) {
    if (!established_ || length > 0x7FFFFFFF) return false;
    body->assign(4 + header_ + length, 0);
    BYTE* token = body->data() + 4;
    BYTE* payload = token + header_;
    std::copy(data, data + length, payload);
    SecBuffer buffers[2] = {{header_, SECBUFFER_TOKEN, token}, {static_cast<ULONG>(length), SECBUFFER_DATA, payload}};
    SecBufferDesc desc{SECBUFFER_VERSION, 2, buffers};
    last_ = sspi_->EncryptMessage(&context_, 0, &desc, 0);
    if (last_ != SEC_E_OK || buffers[0].cbBuffer > header_) return false;
    // Packages may use less of the token than they reserve: close the gap.
    if (buffers[0].cbBuffer < header_) {
        std::copy(payload, payload + length, token + buffers[0].cbBuffer);
        body->resize(4 + buffers[0].cbBuffer + length);
    }
    StoreU32BE(body->data(), buffers[0].cbBuffer);
    return true;
}

bool SecurityContext::Unprotect(const BYTE* body, size_t length, SecureBytes* data) {
    if (!established_ || length < 4) return false;
    const uint32_t tokenLength = LoadU32BE(body);
    if (tokenLength > length - 4) return false;
    SecureBytes copy(body + 4, body + length);  // decrypted in place
    SecBuffer buffers[2] = {{tokenLength, SECBUFFER_TOKEN, copy.data()},
                            {static_cast<ULONG>(copy.size() - tokenLength), SECBUFFER_DATA, copy.data() + tokenLength}};
    SecBufferDesc desc{SECBUFFER_VERSION, 2, buffers};
    ULONG qop = 0;
    last_ = sspi_->DecryptMessage(&context_, &desc, 0, &qop);
    if (last_ != SEC_E_OK) return false;
    data->assign(copy.begin() + tokenLength, copy.end());
    return true;
}

}  // namespace CORE
