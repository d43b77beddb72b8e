#include "PayloadWriter.h"

#include "lib/mfw/common/bag/PropertyBag.h"

#include <climits>

namespace keyvault {
namespace {

constexpr size_t kAesSaltLength = 8;
constexpr ULONG kAesIterations = 1500;
constexpr ULONG kSmssIterations = 3501;
constexpr BYTE kSmssVersion = 1;

void SetError(std::wstring* error, std::wstring text) {
    if (error) *error = std::move(text);
}

bool ToUtf8(std::wstring_view text, CORE::SecureBytes* out, std::wstring* error) {
    out->clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<size_t>(INT_MAX) / 4) {
        SetError(error, L"Text too long");
        return false;
    }
    int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        SetError(error, L"Text is not valid UTF-16");
        return false;
    }
    out->assign(static_cast<size_t>(needed), 0);
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          reinterpret_cast<char*>(out->data()), needed, nullptr, nullptr);
    return true;
}

}  // namespace

std::wstring MasterKeyNameFor(const std::wstring& keyName, const std::wstring& scheme) {
    if (scheme == L"AES") {
        if (keyName == L"SSO") return L"SECURITYMGRSSO";
        if (keyName.empty()) return L"SECURITYMGRSESS";
    }
    return keyName;
}

std::wstring WriteTag(const std::wstring& keyName, const std::wstring& scheme) {
    // Names the grammar could not read back are refused rather than written wrongly.
    if (keyName == L"#" || keyName.find(L"##") != std::wstring::npos || keyName.find(L'}') != std::wstring::npos ||
        keyName.find(L'\0') != std::wstring::npos)
        return std::wstring();
    std::wstring name = keyName.empty() ? L"#" : keyName;
    if (name.find_first_of(L"{:-='\"") != std::wstring::npos) {
        bool hasDouble = name.find(L'"') != std::wstring::npos;
        bool hasSingle = name.find(L'\'') != std::wstring::npos;
        if (hasDouble && hasSingle) return std::wstring();
        wchar_t quote = hasDouble ? L'\'' : L'"';
        name = quote + name + quote;
    }
    return L"{" + name + L"-" + scheme + L":1}";
}

std::wstring BuildPayloadFromBytes(const BYTE* plain, size_t length, const std::wstring& keyName,
                                   const std::wstring& scheme, std::wstring* error) {
    try {
        if (scheme != L"AES" && scheme != L"SMSS") {
            SetError(error, L"Unsupported scheme '" + scheme + L"'");
            return std::wstring();
        }
        if (scheme == L"SMSS" && keyName.empty()) {
            SetError(error, L"The SMSS scheme needs a key name");
            return std::wstring();
        }
        std::wstring tag = WriteTag(keyName, scheme);
        if (tag.empty()) {
            SetError(error, L"Key name cannot be written in a tag: " + keyName);
            return std::wstring();
        }
        const std::wstring master = MasterKeyNameFor(keyName, scheme);
        Status status = EnsureMasterKey(master);
        if (!status.ok()) {
            SetError(error, status.text);
            return std::wstring();
        }

        Derivation derivation;
        std::vector<BYTE> layout;
        if (scheme == L"AES") {
            derivation.hashAlgorithm = L"SHA1";
            derivation.iterations = kAesIterations;
            derivation.salt.resize(kAesSaltLength);
            if (!RandomBytes(derivation.salt.data(), derivation.salt.size())) {
                SetError(error, L"Random generator failed");
                return std::wstring();
            }
            layout = derivation.salt;
        } else {
            derivation.hashAlgorithm = L"SHA256";
            derivation.iterations = kSmssIterations;
            derivation.iv.resize(kBlockSize);
            if (!RandomBytes(derivation.iv.data(), derivation.iv.size())) {
                SetError(error, L"Random generator failed");
                return std::wstring();
            }
            derivation.salt = derivation.iv;
            layout.push_back(kSmssVersion);
            layout.push_back(static_cast<BYTE>(kBlockSize));
            layout.insert(layout.end(), derivation.iv.begin(), derivation.iv.end());
        }
        std::vector<BYTE> cipher;
        status = EncipherWithDerivedKey(master, derivation, plain, length, &cipher);
        if (!status.ok()) {
            SetError(error, status.text);
            return std::wstring();
        }
        layout.insert(layout.end(), cipher.begin(), cipher.end());
        return tag + CORE::Base64Encode(layout.data(), layout.size());
    } catch (const std::exception&) {
        SetError(error, L"OutOfMem");
        return std::wstring();
    }
}

std::wstring BuildProtectedPayload(std::wstring_view plainText, const std::wstring& keyName,
                                   const std::wstring& scheme, std::wstring* error) {
    try {
        CORE::SecureBytes text;
        if (!ToUtf8(plainText, &text, error)) return std::wstring();
        if (scheme != L"AES") return BuildPayloadFromBytes(text.data(), text.size(), keyName, scheme, error);
        if (text.empty()) {
            if (keyName.empty()) {
                // The key without a name demands the prefix, and a bare prefix reads as text.
                SetError(error, L"An empty text cannot be protected with the key without a name");
                return std::wstring();
            }
            return BuildPayloadFromBytes(nullptr, 0, keyName, scheme, error);
        }
        CORE::SecureBytes prefixed(5, 0);
        if (!RandomBytes(prefixed.data(), 2)) {
            SetError(error, L"Random generator failed");
            return std::wstring();
        }
        // A zero inside the prefix would end it early: x and y are never zero.
        for (size_t i = 0; i < 2; ++i)
            if (prefixed[i] == 0) prefixed[i] = 0x5A;
        prefixed[2] = prefixed[0];
        prefixed[3] = prefixed[1];
        prefixed[4] = 0;
        prefixed.insert(prefixed.end(), text.begin(), text.end());
        return BuildPayloadFromBytes(prefixed.data(), prefixed.size(), keyName, scheme, error);
    } catch (const std::exception&) {
        SetError(error, L"OutOfMem");
        return std::wstring();
    }
}

}  // namespace keyvault
