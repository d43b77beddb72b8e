// The cipher schemes a protected payload can name: their parameter records, byte layouts and
// the key vault requests that decipher them. The module only deciphers; the agent enciphers.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"

#include <cstdint>
#include <string>

class Key;

// One scheme version's parameters, fields in the order the schemes define them.
struct CipherSchemeParams {
    const char* schemeName;
    uint32_t version;
    uint32_t blockSize;   // bytes
    uint32_t keyLength;   // bytes
    uint32_t ivLength;    // bytes
    uint32_t reserved1;
    uint32_t saltLength;  // bytes
    uint32_t reserved2;
    const char* derivedKeyCipher;
    uint32_t derivationFlagCount;
    uint32_t derivationFlags[2];
    uint32_t iterations;
    const char* hashAlgorithm;
};

class CipherScheme {
public:
    CipherScheme() = default;
    CipherScheme(const CipherScheme&) = delete;
    CipherScheme& operator=(const CipherScheme&) = delete;

    virtual bool prepareKey(Key& key) = 0;
    virtual bool encipher(Key& key, const CORE::SecureBytes& plain, std::string* data) = 0;
    // Deciphers the Base64 `data` into `plain`; false after logging why. A wrong key can also
    // raise SecurityException.
    virtual bool decipher(Key& key, const std::string& data, CORE::SecureBytes* plain) = 0;
    virtual bool putdata(Key& key) = 0;
    virtual bool getdata(Key& key) = 0;
    virtual bool rmdata(Key& key) = 0;
    virtual uint32_t latestVersion() const = 0;
    virtual bool isShared(const Key& key) = 0;
    // The record of a version, or none.
    virtual const CipherSchemeParams* params(uint32_t version) const = 0;
    virtual ~CipherScheme() = default;

protected:
    // Standard Base64 of the layout; false (nothing decoded) for text outside the alphabet or
    // longer than any layout the key vault accepts.
    static bool DecodeData(const std::string& data, std::vector<BYTE>* bytes);
};

class CipherScheme_AES final : public CipherScheme {
public:
    static const CipherSchemeParams kParams;

    // Sets the key's version to 1.
    bool prepareKey(Key& key) override;
    bool encipher(Key& key, const CORE::SecureBytes& plain, std::string* data) override;
    bool decipher(Key& key, const std::string& data, CORE::SecureBytes* plain) override;
    bool putdata(Key& key) override;
    bool getdata(Key& key) override;
    bool rmdata(Key& key) override;
    uint32_t latestVersion() const override { return 0; }
    bool isShared(const Key& key) override;
    // The one record, whatever the version.
    const CipherSchemeParams* params(uint32_t version) const override;
};

class CipherScheme_SMSS final : public CipherScheme {
public:
    static const CipherSchemeParams kVersion1;

    // Asks the key vault to create the key ("addMaster").
    bool prepareKey(Key& key) override;
    bool encipher(Key& key, const CORE::SecureBytes& plain, std::string* data) override;
    bool decipher(Key& key, const std::string& data, CORE::SecureBytes* plain) override;
    bool putdata(Key& key) override;
    bool getdata(Key& key) override;
    bool rmdata(Key& key) override;
    uint32_t latestVersion() const override { return 1; }
    // Asks the key vault ("isShared").
    bool isShared(const Key& key) override;
    // Version 0 means the latest; versions past the last slot log at ERROR and yield none.
    const CipherSchemeParams* params(uint32_t version) const override;
};
