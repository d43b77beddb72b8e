// The device certificates of tests/entra/certs installed for real in a private HKLM: devices in
// the local machine store "My", issuers in "AAD Token Issuer". Each device key (its PVK file) is
// imported as the signature key of a container of its own (the AES provider, which can hash
// SHA-256); the certificate names that container. The containers
// are removed again when the object goes.
#pragma once
#include "keyvault/VaultSandbox.h"
#include "platform/CryptResource.h"

#include <string>
#include <vector>

namespace entratest {

std::vector<BYTE> ReadCertFile(const std::string& name);  // from tests/entra/certs
std::string DeviceId();  // the id in every device certificate's subject

class P2PStores {
public:
    P2PStores() = default;
    ~P2PStores();
    P2PStores(const P2PStores&) = delete;
    P2PStores& operator=(const P2PStores&) = delete;

    // "device-p2p", "device-lower", "device-other"; without a key only the certificate goes in.
    void AddDevice(const std::string& name, bool withKey = true);
    // "p2p-issuer", "p2p-issuer-lower", "other-issuer".
    void AddIssuer(const std::string& name);

private:
    vaulttest::VaultSandbox registry_;  // the stores live in the private HKLM
    std::vector<std::wstring> containers_;
};

}  // namespace entratest
