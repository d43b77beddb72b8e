// The real LSA behind the CloudAP seam.
#include "../LsaClient.h"

#include <cstring>
#include <string>

namespace platform {
namespace {

constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);

// LSA_STRING over a writable copy: the calls take non-const text.
struct LsaText {
    explicit LsaText(const char* text) : value(text ? text : "") {
        string.Buffer = value.data();
        string.Length = static_cast<USHORT>(value.size());
        string.MaximumLength = static_cast<USHORT>(value.size() + 1);
    }
    bool Valid() const { return value.size() < 0xFFFF; }
    std::string value;
    LSA_STRING string{};
};

class WinLsaClient final : public ILsaClient {
public:
    NTSTATUS ConnectUntrusted(HANDLE* lsa) override { return ::LsaConnectUntrusted(lsa); }
    NTSTATUS LookupAuthenticationPackage(HANDLE lsa, const char* packageName, ULONG* packageId) override {
        LsaText name(packageName);
        if (!name.Valid()) return kInvalidParameter;
        return ::LsaLookupAuthenticationPackage(lsa, &name.string, packageId);
    }
    NTSTATUS CallAuthenticationPackage(HANDLE lsa, ULONG packageId, const void* submit, ULONG submitBytes,
                                       void** answer, ULONG* answerBytes, NTSTATUS* protocolStatus) override {
        return ::LsaCallAuthenticationPackage(lsa, packageId, const_cast<void*>(submit), submitBytes, answer,
                                              answerBytes, protocolStatus);
    }
    NTSTATUS LogonUser(HANDLE lsa, const char* originName, SECURITY_LOGON_TYPE logonType, ULONG packageId,
                       const void* authentication, ULONG authenticationBytes, void** profile, ULONG* profileBytes,
                       HANDLE* token, NTSTATUS* subStatus) override {
        LsaText origin(originName);
        if (!origin.Valid()) return kInvalidParameter;
        TOKEN_SOURCE source{};
        std::memcpy(source.SourceName, "TSAPI\0\0\0", sizeof(source.SourceName));
        ::AllocateLocallyUniqueId(&source.SourceIdentifier);
        LUID logonId{};
        QUOTA_LIMITS quotas{};
        return ::LsaLogonUser(lsa, &origin.string, logonType, packageId, const_cast<void*>(authentication),
                              authenticationBytes, nullptr, &source, profile, profileBytes, &logonId, token, &quotas,
                              subStatus);
    }
    NTSTATUS FreeReturnBuffer(void* buffer) override { return ::LsaFreeReturnBuffer(buffer); }
    NTSTATUS DeregisterLogonProcess(HANDLE lsa) override { return ::LsaDeregisterLogonProcess(lsa); }
};

}  // namespace

ILsaClient& RealLsaClient() {
    static WinLsaClient client;
    return client;
}

}  // namespace platform
