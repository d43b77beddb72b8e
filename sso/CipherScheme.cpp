#include "CipherScheme.h"

#include "lib/keyvault/KeyVault.h"
#include "lib/mfw/common/bag/PropertyBag.h"

namespace {
// Base64 of the largest cipher text the key vault takes, its header and some line breaks.
constexpr size_t kMaxDataText = (keyvault::kMaxCipherLength + 1024) / 3 * 4 + 4096;
}

bool CipherScheme::DecodeData(const std::string& data, std::vector<BYTE>* bytes) {
    bytes->clear();
    if (data.size() > kMaxDataText) return false;
    // Bytes above 0x7F stay above 0x7F, so the decoder refuses them like any foreign character.
    std::wstring text(data.size(), L'\0');
    for (size_t i = 0; i < data.size(); ++i) text[i] = static_cast<wchar_t>(static_cast<unsigned char>(data[i]));
    if (!CORE::Base64Decode(text.data(), text.size(), bytes)) {
        bytes->clear();
        return false;
    }
    return true;
}
