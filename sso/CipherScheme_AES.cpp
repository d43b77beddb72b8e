// "AES": salt (8 bytes) then cipher text; PBKDF2-SHA1 with 1500 iterations in the key vault.
#include "CipherScheme.h"

#include "Key.h"
#include "SecureText.h"
#include "SecurityException.h"
#include "UtilSM.h"

#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <algorithm>
#include <climits>

namespace {
int LogInt(size_t value) { return value > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value); }
}  // namespace

const CipherSchemeParams CipherScheme_AES::kParams = {
    "AES", 0, 16, 32, 16, 0, 8, 0, "AES", 1, {1, 0}, 1500, "SHA1",
};

bool CipherScheme_AES::prepareKey(Key& key) {
    key.version = 1;
    return true;
}

bool CipherScheme_AES::encipher(Key&, const CORE::SecureBytes&, std::string*) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::encipher(): This function is not supported");
    return false;
}

bool CipherScheme_AES::putdata(Key&) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::putdata(): This function is not supported");
    return false;
}

bool CipherScheme_AES::getdata(Key&) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::getdata(): This function is not supported");
    return false;
}

bool CipherScheme_AES::rmdata(Key&) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::rmdata(): This function is not supported");
    return false;
}

bool CipherScheme_AES::isShared(const Key&) { return false; }

const CipherSchemeParams* CipherScheme_AES::params(uint32_t) const { return &kParams; }

bool CipherScheme_AES::decipher(Key& key, const std::string& data, CORE::SecureBytes* plain) {
    CORE::Wipe(*plain);
    const CipherSchemeParams& p = kParams;
    std::vector<BYTE> bytes;
    if (!DecodeData(data, &bytes)) {
        CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: invalid Base64 data (%d)",
                         LogInt(data.size()));
        return false;
    }
    if (bytes.size() < size_t(p.blockSize) + p.saltLength) {
        CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: data truncated (%d)",
                         LogInt(bytes.size()));
        return false;
    }
    const size_t cipherLength = bytes.size() - p.saltLength;
    if (cipherLength % p.blockSize != 0) {
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: invalid data length (%d)",
                         LogInt(cipherLength));
        return false;
    }

    const std::wstring keyspec = secmgr::Utf8ToWideText(key.createKeyspec());
    CORE::PropertyBag request, response;
    request.Set(L"name", keyspec);
    request.SetBinary(L"salt", bytes.data(), p.saltLength);
    request.Set(L"hashAlgorithm", secmgr::Utf8ToWideText(p.hashAlgorithm));
    request.Set(L"iterations", std::to_wstring(p.iterations));
    CORE::SecureBytes out;
    int result = UtilSM::kvCallWithRetry(L"decipherWithDerivedKey", request, response, bytes.data() + p.saltLength,
                                         cipherLength, out);
    if (result == 2) return false;
    if (result == 1) {
        CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_AES::decipher(): Cannot decipher data with %s: %s",
                         keyspec.c_str(), response.GetErrorText(L"Unspecified error").c_str());
        return false;
    }

    // The plain text follows a prefix that ends at the first zero byte. For the key without a
    // name that prefix must end in x y x y: the only check that a wrong key can fail.
    const size_t zero = static_cast<size_t>(std::find(out.begin(), out.end(), BYTE(0)) - out.begin());
    const bool found = zero < out.size();
    if (key.name.empty()) {
        if (!found || zero < 4 || out[zero - 4] != out[zero - 2] || out[zero - 3] != out[zero - 1])
            throw SecurityException("Bad padding. Wrong key?");
    }
    if (!found || zero + 1 == out.size()) {
        *plain = std::move(out);
    } else {
        plain->assign(out.begin() + static_cast<std::ptrdiff_t>(zero + 1), out.end());
    }
    return true;
}
