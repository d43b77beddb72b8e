// The device certificates of tests/entra/certs installed for real: devices in the local machine
// store "My", issuers in "AAD Token Issuer", in a private HKLM of this process, or in the
// prefix's own stores for other processes to find (the caller then holds the prefix's lock).
// Each device key (its PVK file) is imported as the signature key of a container of its own
// (the AES provider, which can hash SHA-256); the certificate names that container. Containers
// and certificates put in the prefix's stores are removed again when the object goes.
#pragma once
#include "keyvault/VaultSandbox.h"
#include "platform/CryptResource.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace entratest {

std::vector<BYTE> ReadCertFile(const std::string& name);  // from tests/entra/certs
std::string DeviceId();  // the id in every device certificate's subject

class P2PStores {
public:
    explicit P2PStores(bool privateRegistry = true);
    ~P2PStores();
    P2PStores(const P2PStores&) = delete;
    P2PStores& operator=(const P2PStores&) = delete;

    // "device-p2p", "device-lower", "device-other"; without a key only the certificate goes in.
    void AddDevice(const std::string& name, bool withKey = true);
    // "p2p-issuer", "p2p-issuer-lower", "other-issuer".
    void AddIssuer(const std::string& name);

private:
    void AddToMachineStore(const wchar_t* storeName, const std::string& certificate, const CRYPT_KEY_PROV_INFO* key);

    std::optional<vaulttest::VaultSandbox> registry_;  // the stores live in the private HKLM
    std::vector<std::wstring> containers_;
    std::vector<std::pair<std::wstring, std::string>> added_;  // store, certificate: in the prefix's stores
};

}  // namespace entratest
