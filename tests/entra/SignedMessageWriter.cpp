// Writes really signed request messages and the certificate that signed them for the host-side
// verifier (verify-signed-message.sh): the certificate is found in the stores, its text is
// CertificateText's, and the messages are signed with its key. The inputs below are the ones the verifier expects.
#include "entra/EntraAuthRequest.h"
#include "entra/P2PJoinedCertUtils.h"

#include "P2PStores.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

void WriteFile(const std::string& name, const std::vector<BYTE>& bytes) {
    ASSERT_FALSE(bytes.empty()) << name;
    std::ofstream file(std::string(TC_ENTRA_MESSAGE_DIR) + name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << name;
}

TEST(SignedMessageWriter, WritesMessageAndCertificate) {
    entratest::P2PStores stores;
    stores.AddDevice("device-other");
    stores.AddDevice("device-p2p");
    stores.AddIssuer("other-issuer");
    stores.AddIssuer("p2p-issuer");
    const std::string deviceId = entratest::DeviceId();
    const std::wstring wideId(deviceId.begin(), deviceId.end());
    EntraAuth::P2PJoinedCertUtils utils(wideId);
    std::vector<BYTE> der;
    DWORD encoding = 0;
    ASSERT_EQ(utils.GetP2PSigningCert(&der, &encoding), S_OK);
    const std::wstring text = EntraAuth::CertificateText(der);
    const std::string certificate(text.begin(), text.end());  // Base64 is ASCII
    const auto build = [&](const std::string& brokerSid, const std::string& certificateText) {
        return EntraAuth::BuildEntraAuthRequestMessage(
            0x0000000100000002ull, deviceId, "nonce+/AQ==", brokerSid, "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0",
            certificateText, [&](const std::vector<BYTE>& data) { return EntraAuth::SignPayloadWithP2PCert(wideId, data); });
    };
    WriteFile("message.bin", build("S-1-5-21-1004336348-1177238915-682003330-512", certificate));
    // An empty broker SID stays a member; an empty certificate text is left out.
    WriteFile("message-bare.bin", build("", ""));
    WriteFile("device.der", der);
}

}  // namespace
