// "SMSS": byte 0 = scheme version; version 1: byte 1 = n, n bytes used as IV and as salt, then
// the cipher text; PBKDF2-SHA256 with 3501 iterations in the key vault.
#include "CipherScheme.h"

#include "Key.h"
#include "SecureText.h"
#include "UtilSM.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <climits>

namespace {

int LogInt(size_t value) { return value > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value); }

// Slot 0 is empty: asking for version 0 means the latest.
constexpr size_t kSlots = 2;

int CallWithName(const wchar_t* operation, const std::wstring& keyspec, CORE::PropertyBag& response) {
    CORE::PropertyBag request;
    request.Set(L"name", keyspec);
    CORE::SecureBytes none;
    return UtilSM::kvCallWithRetry(operation, request, response, nullptr, 0, none);
}

}  // namespace

const CipherSchemeParams CipherScheme_SMSS::kVersion1 = {
    "SMSS", 1, 16, 32, 16, 0, 16, 0, "AES", 2, {1, 1}, 3501, "SHA256",
};

bool CipherScheme_SMSS::prepareKey(Key& key) {
    CORE::PropertyBag response;
    return CallWithName(L"addMaster", secmgr::Utf8ToWideText(key.createKeyspec()), response) == 0;
}

bool CipherScheme_SMSS::encipher(Key&, const CORE::SecureBytes&, std::string*) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_SMSS::encipher(): This function is not supported");
    return false;
}

bool CipherScheme_SMSS::putdata(Key&) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_SMSS::putdata(): This function is not supported");
    return false;
}

bool CipherScheme_SMSS::getdata(Key&) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_SMSS::getdata(): This function is not supported");
    return false;
}

bool CipherScheme_SMSS::rmdata(Key&) {
    CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_SMSS::rmdata(): This function is not supported");
    return false;
}

bool CipherScheme_SMSS::isShared(const Key& key) {
    CORE::PropertyBag response;
    if (CallWithName(L"isShared", secmgr::Utf8ToWideText(key.createKeyspec()), response) != 0) return false;
    return CORE::ParseBool(response.Get(L"shared"));
}

const CipherSchemeParams* CipherScheme_SMSS::params(uint32_t version) const {
    if (version == 0) version = latestVersion();
    if (version >= kSlots) {
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"CipherScheme_SMSS::params(): Requested SMSS scheme version out of range (%u)", version);
        return nullptr;
    }
    return &kVersion1;
}

namespace {

// A tag that names a version asks for that key; one without asks for the latest.
bool KeyAvailable(const Key& key, const std::wstring& keyspec) {
    CORE::PropertyBag response;
    const int checked = CallWithName(key.version != 0 ? L"exist" : L"latest", keyspec, response);
    if (checked == 1)
        CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_SMSS::decipher(): Cannot decipher data with %s: %s",
                         keyspec.c_str(), response.GetErrorText(L"Unspecified error").c_str());
    return checked != 1 && checked != 2;
}

}  // namespace

bool CipherScheme_SMSS::decipher(Key& key, const std::string& data, CORE::SecureBytes* plain) {
    CORE::Wipe(*plain);
    std::vector<BYTE> bytes;
    if (!DecodeData(data, &bytes)) {
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme: invalid Base64 data (%d)",
                         LogInt(data.size()));
        return false;
    }
    if (bytes.size() < kVersion1.blockSize) {
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme: data truncated (%d)",
                         LogInt(bytes.size()));
        return false;
    }
    const CipherSchemeParams* p = params(bytes[0]);
    if (!p) {
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme: meta invalid or unknown scheme version (%d)",
                         static_cast<int>(bytes[0]));
        return false;
    }
    key.number = bytes[0];

    const std::wstring keyspec = secmgr::Utf8ToWideText(key.createKeyspec());
    if (!KeyAvailable(key, keyspec)) return false;

    // Version 1 is the only layout; params() yields no other.
    const size_t ivLength = bytes[1];
    const size_t minimum = size_t(p->blockSize) + 2 + ivLength;
    if (bytes.size() < minimum) {
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme 1: meta invalid or data truncated (min=%d act=%d)",
                         LogInt(minimum), LogInt(bytes.size()));
        return false;
    }
    CORE::PropertyBag transform, request, response;
    transform.SetBinary(L"KP_IV", bytes.data() + 2, ivLength);
    request.Set(L"name", keyspec);
    request.SetBag(L"transform", transform);
    request.SetBinary(L"salt", bytes.data() + 2, ivLength);
    request.Set(L"hashAlgorithm", secmgr::Utf8ToWideText(p->hashAlgorithm));
    request.Set(L"iterations", std::to_wstring(p->iterations));
    CORE::SecureBytes out;
    int result = UtilSM::kvCallWithRetry(L"decipherWithDerivedKey", request, response, bytes.data() + 2 + ivLength,
                                         bytes.size() - 2 - ivLength, out);
    if (result == 2) return false;
    if (result == 1) {
        CORE::LogMessage(CORE::LOG_ERROR, L"CipherScheme_SMSS::decipher(): Cannot decipher data with %s: %s",
                         keyspec.c_str(), response.GetErrorText(L"Unspecified error").c_str());
        return false;
    }
    *plain = std::move(out);
    return true;
}
