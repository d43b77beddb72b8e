// An LSA described by data, for tests and the simulation: package ids by name, and a CloudAP
// package that answers each numbered call ("call" in the request's JSON text) with a fixed
// JSON text. Network logons give a duplicate of this process's token. Every request is kept.
#pragma once
#include "platform/LsaClient.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform::cloudapsim {

class DataLsaClient final : public ILsaClient {
public:
    // --- Answers ---
    NTSTATUS connectStatus = 0;
    std::map<std::string, ULONG> packageIds{{"Negotiate", 0}, {"CloudAP", 4}};
    std::map<int, std::string> answers;  // by call number; an unknown call answers nothing
    // Without a fixed answer, call 10 makes the credential from the request's assertion: its
    // "authbuffer" is the base64 of kBlobPrefix followed by the assertion's UTF-8 bytes.
    bool blobFromAssertion = false;
    static constexpr const char* kBlobPrefix = "CLOUDAP-BLOB:";
    NTSTATUS callStatus = 0, protocolStatus = 0;
    NTSTATUS logonStatus = 0, logonSubStatus = 0;
    bool logonGivesNoToken = false;

    // --- Records (guarded by lock) ---
    std::mutex lock;
    std::vector<std::vector<BYTE>> requests;  // the submit buffers, whole
    struct Logon { std::string origin; SECURITY_LOGON_TYPE type; ULONG packageId; std::vector<BYTE> data; };
    std::vector<Logon> logons;
    std::atomic<int> connections{0}, outstandingBuffers{0};

    NTSTATUS ConnectUntrusted(HANDLE* lsa) override;
    NTSTATUS LookupAuthenticationPackage(HANDLE lsa, const char* packageName, ULONG* packageId) override;
    NTSTATUS CallAuthenticationPackage(HANDLE lsa, ULONG packageId, const void* submit, ULONG submitBytes,
                                       void** answer, ULONG* answerBytes, NTSTATUS* protocolStatus) override;
    NTSTATUS LogonUser(HANDLE lsa, const char* originName, SECURITY_LOGON_TYPE logonType, ULONG packageId,
                       const void* authentication, ULONG authenticationBytes, void** profile, ULONG* profileBytes,
                       HANDLE* token, NTSTATUS* subStatus) override;
    NTSTATUS FreeReturnBuffer(void* buffer) override;
    NTSTATUS DeregisterLogonProcess(HANDLE lsa) override;
};

}  // namespace platform::cloudapsim
