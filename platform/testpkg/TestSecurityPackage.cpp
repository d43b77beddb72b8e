#include "TestSecurityPackage.h"

#include "platform/UniqueResource.h"

#include <bcrypt.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace platform::testpkg {
namespace {

constexpr BYTE kMagic[4] = {'T', 'C', 'S', 'P'};
constexpr BYTE kVersion = 1;
constexpr size_t kNonce = 16;
constexpr size_t kProof = 32;

struct Credential {
    std::wstring package;
    ULONG use = 0;
};

struct Context {
    bool server = false;
    int state = 0;  // 0 fresh, 1 waiting for the peer's second token, 2 established
    ULONG flags = 0;
    ULONG attributes = 0;
    BYTE clientNonce[kNonce] = {};
    BYTE serverNonce[kNonce] = {};
    std::vector<BYTE> key;
    BCRYPT_KEY_HANDLE sendKey = nullptr;
    BCRYPT_KEY_HANDLE recvKey = nullptr;
    uint64_t sendSeq = 0;
    uint64_t recvSeq = 0;
    std::mutex lock;
    ~Context() {
        if (sendKey) ::BCryptDestroyKey(sendKey);
        if (recvKey) ::BCryptDestroyKey(recvKey);
        ::SecureZeroMemory(key.data(), key.size());
    }
};

// Live handles: a handle from outside is checked against these before it is used.
std::mutex g_handles;
std::set<Credential*> g_credentials;
std::set<Context*> g_contexts;

Credential* FindCredential(PCredHandle handle) {
    if (!handle) return nullptr;
    auto* p = reinterpret_cast<Credential*>(handle->dwLower);
    std::lock_guard<std::mutex> guard(g_handles);
    return g_credentials.count(p) ? p : nullptr;
}
Context* FindContext(PCtxtHandle handle) {
    if (!handle) return nullptr;
    auto* p = reinterpret_cast<Context*>(handle->dwLower);
    std::lock_guard<std::mutex> guard(g_handles);
    return g_contexts.count(p) ? p : nullptr;
}

BCRYPT_ALG_HANDLE HmacAlgorithm() {
    static BCRYPT_ALG_HANDLE alg = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        ::BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
        return h;
    }();
    return alg;
}
BCRYPT_ALG_HANDLE GcmAlgorithm() {
    static BCRYPT_ALG_HANDLE alg = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (::BCryptOpenAlgorithmProvider(&h, BCRYPT_AES_ALGORITHM, nullptr, 0) == 0)
            ::BCryptSetProperty(h, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                sizeof(BCRYPT_CHAIN_MODE_GCM), 0);
        return h;
    }();
    return alg;
}

bool Hmac(const std::vector<BYTE>& key, const char* label, const BYTE* cn, const BYTE* sn, const BYTE* extra,
          size_t extraLength, BYTE out[32]) {
    std::vector<BYTE> input(label, label + std::strlen(label));
    input.insert(input.end(), cn, cn + kNonce);
    input.insert(input.end(), sn, sn + kNonce);
    if (extra) input.insert(input.end(), extra, extra + extraLength);
    return HmacAlgorithm() &&
           ::BCryptHash(HmacAlgorithm(), const_cast<BYTE*>(key.data()), static_cast<ULONG>(key.size()), input.data(),
                        static_cast<ULONG>(input.size()), out, 32) == 0;
}

bool MakeKey(const std::vector<BYTE>& key, const char* label, const Context& c, BCRYPT_KEY_HANDLE* handle) {
    BYTE material[32];
    if (!Hmac(key, label, c.clientNonce, c.serverNonce, nullptr, 0, material)) return false;
    bool ok = GcmAlgorithm() && ::BCryptGenerateSymmetricKey(GcmAlgorithm(), handle, nullptr, 0, material, 32, 0) == 0;
    ::SecureZeroMemory(material, sizeof(material));
    return ok;
}

bool Establish(Context& c) {
    return MakeKey(c.key, c.server ? "TCSP-K-S2C" : "TCSP-K-C2S", c, &c.sendKey) &&
           MakeKey(c.key, c.server ? "TCSP-K-C2S" : "TCSP-K-S2C", c, &c.recvKey);
}

void StoreU32(BYTE* p, uint32_t v) {
    p[0] = BYTE(v >> 24);
    p[1] = BYTE(v >> 16);
    p[2] = BYTE(v >> 8);
    p[3] = BYTE(v);
}
uint32_t LoadU32(const BYTE* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

SecBuffer* FindBuffer(PSecBufferDesc desc, ULONG type) {
    if (!desc || !desc->pBuffers) return nullptr;
    for (ULONG i = 0; i < desc->cBuffers; ++i)
        if ((desc->pBuffers[i].BufferType & ~SECBUFFER_ATTRMASK) == type) return &desc->pBuffers[i];
    return nullptr;
}

// Parses the header of a token of `type`; the body is what follows it.
bool TokenBody(PSecBufferDesc input, BYTE type, const BYTE** body, size_t* length) {
    SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
    if (!token || !token->pvBuffer || token->cbBuffer < 6) return false;
    const BYTE* p = static_cast<const BYTE*>(token->pvBuffer);
    if (std::memcmp(p, kMagic, 4) != 0 || p[4] != type || p[5] != kVersion) return false;
    *body = p + 6;
    *length = token->cbBuffer - 6;
    return true;
}

SECURITY_STATUS Output(PSecBufferDesc output, const std::vector<BYTE>& token) {
    SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN);
    if (!out) return SEC_E_INVALID_TOKEN;
    void* memory = ::LocalAlloc(LMEM_FIXED, token.size());
    if (!memory) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(memory, token.data(), token.size());
    out->pvBuffer = memory;
    out->cbBuffer = static_cast<ULONG>(token.size());
    return SEC_E_OK;
}

std::vector<BYTE> NewToken(BYTE type) {
    std::vector<BYTE> token(kMagic, kMagic + 4);
    token.push_back(type);
    token.push_back(kVersion);
    return token;
}

bool PackageKnown(const wchar_t* package) {
    for (const wchar_t* name : {L"Negotiate", L"Kerberos", L"NTLM"})
        if (package && _wcsicmp(package, name) == 0) return true;
    return false;
}

PCtxtHandle NewContextHandle(std::unique_ptr<Context> context, PCtxtHandle handle) {
    std::lock_guard<std::mutex> guard(g_handles);
    Context* raw = context.release();
    g_contexts.insert(raw);
    handle->dwLower = reinterpret_cast<ULONG_PTR>(raw);
    handle->dwUpper = 0x54435350;
    return handle;
}

void ReleaseContext(Context* context) {
    {
        std::lock_guard<std::mutex> guard(g_handles);
        g_contexts.erase(context);
    }
    delete context;
}

}  // namespace

bool TestSecurityPackage::PrefixKey(std::vector<BYTE>* key) {
    static const wchar_t kPath[] = L"Software\\TcfiltrSim\\SecurityPackage";
    // Read once per process: the key never changes once made.
    static std::mutex cacheLock;
    static std::vector<BYTE> cached;
    std::lock_guard<std::mutex> cacheGuard(cacheLock);
    if (!cached.empty()) {
        *key = cached;
        return true;
    }
    // Processes racing to make the key must end with the same one.
    unique_handle mutex(::CreateMutexW(nullptr, FALSE, L"TcfiltrSim.SecurityPackage.KeyLock"));
    if (mutex) ::WaitForSingleObject(mutex.get(), 10000);
    key->assign(32, 0);
    DWORD size = 32;
    bool ok = ::RegGetValueW(HKEY_CURRENT_USER, kPath, L"Key", RRF_RT_REG_BINARY, nullptr, key->data(), &size) ==
                  ERROR_SUCCESS &&
              size == 32;
    if (!ok) {
        ok = ::BCryptGenRandom(nullptr, key->data(), 32, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0 &&
             ::RegSetKeyValueW(HKEY_CURRENT_USER, kPath, L"Key", REG_BINARY, key->data(), 32) == ERROR_SUCCESS;
    }
    if (mutex) ::ReleaseMutex(mutex.get());
    if (ok) cached = *key;
    return ok;
}

std::vector<BYTE> TestSecurityPackage::Key(bool server) const {
    if (!server && !clientKeyOverride.empty()) return clientKeyOverride;
    std::vector<BYTE> key;
    if (!PrefixKey(&key)) key.clear();
    return key;
}

SECURITY_STATUS TestSecurityPackage::AcquireCredentials(const wchar_t* package, ULONG credentialUse,
                                                        PCredHandle credential, PTimeStamp expiry) {
    if (!credential) return SEC_E_INVALID_HANDLE;
    if (!PackageKnown(package)) return SEC_E_SECPKG_NOT_FOUND;
    for (const auto& name : unavailablePackages)
        if (_wcsicmp(name.c_str(), package) == 0) return SEC_E_NO_CREDENTIALS;
    auto* c = new Credential{package, credentialUse};
    {
        std::lock_guard<std::mutex> guard(g_handles);
        g_credentials.insert(c);
    }
    credential->dwLower = reinterpret_cast<ULONG_PTR>(c);
    credential->dwUpper = 0x54435343;
    if (expiry) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFll;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::InitializeContext(PCredHandle credential, PCtxtHandle context,
                                                       const wchar_t* targetName, ULONG requestFlags,
                                                       PSecBufferDesc input, PCtxtHandle newContext,
                                                       PSecBufferDesc output, ULONG* contextAttributes,
                                                       PTimeStamp expiry) {
    if (!FindCredential(credential) || !newContext) return SEC_E_INVALID_HANDLE;
    if (expiry) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFll;
    if (!context || (!context->dwLower && !context->dwUpper)) {
        auto fresh = std::make_unique<Context>();
        fresh->flags = requestFlags;
        fresh->key = Key(false);
        if (fresh->key.size() != 32) return SEC_E_NO_CREDENTIALS;
        if (::BCryptGenRandom(nullptr, fresh->clientNonce, kNonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return SEC_E_INTERNAL_ERROR;
        std::vector<BYTE> token = NewToken(1);
        token.resize(token.size() + 4);
        StoreU32(token.data() + 6, requestFlags);
        token.insert(token.end(), fresh->clientNonce, fresh->clientNonce + kNonce);
        std::wstring target = targetName ? targetName : L"";
        if (target.size() > 0xFFFF) return SEC_E_TARGET_UNKNOWN;
        token.push_back(BYTE(target.size() >> 8));
        token.push_back(BYTE(target.size()));
        for (wchar_t ch : target) {
            token.push_back(BYTE(ch));
            token.push_back(BYTE(ch >> 8));
        }
        SECURITY_STATUS status = Output(output, token);
        if (status != SEC_E_OK) return status;
        fresh->state = 1;
        NewContextHandle(std::move(fresh), newContext);
        if (contextAttributes) *contextAttributes = ISC_RET_ALLOCATED_MEMORY;
        return SEC_I_CONTINUE_NEEDED;
    }
    Context* c = FindContext(context);
    if (!c || c->server || c->state != 1) return SEC_E_INVALID_HANDLE;
    const BYTE* body = nullptr;
    size_t length = 0;
    if (!TokenBody(input, 2, &body, &length) || length != kNonce + kProof) return SEC_E_INVALID_TOKEN;
    std::memcpy(c->serverNonce, body, kNonce);
    BYTE flags[4], expected[32];
    StoreU32(flags, c->flags);
    if (!Hmac(c->key, "TCSP-S", c->clientNonce, c->serverNonce, flags, 4, expected)) return SEC_E_INTERNAL_ERROR;
    if (std::memcmp(expected, body + kNonce, kProof) != 0) return SEC_E_MUTUAL_AUTH_FAILED;
    std::vector<BYTE> token = NewToken(3);
    BYTE proof[32];
    if (!Hmac(c->key, "TCSP-C", c->clientNonce, c->serverNonce, nullptr, 0, proof)) return SEC_E_INTERNAL_ERROR;
    token.insert(token.end(), proof, proof + kProof);
    if (!Establish(*c)) return SEC_E_INTERNAL_ERROR;
    SECURITY_STATUS status = Output(output, token);
    if (status != SEC_E_OK) return status;
    c->state = 2;
    c->attributes = (c->flags & kSupportedAttributes & ~attributesDropped) | ISC_RET_ALLOCATED_MEMORY;
    if (contextAttributes) *contextAttributes = c->attributes;
    *newContext = *context;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::AcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                                                   ULONG /*requestFlags*/, PCtxtHandle newContext, PSecBufferDesc output,
                                                   ULONG* contextAttributes, PTimeStamp expiry) {
    if (!FindCredential(credential) || !newContext) return SEC_E_INVALID_HANDLE;
    if (expiry) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFll;
    const BYTE* body = nullptr;
    size_t length = 0;
    if (!context || (!context->dwLower && !context->dwUpper)) {
        if (!TokenBody(input, 1, &body, &length) || length < 4 + kNonce + 2) return SEC_E_INVALID_TOKEN;
        size_t targetChars = (size_t(body[4 + kNonce]) << 8) | body[4 + kNonce + 1];
        if (length != 4 + kNonce + 2 + 2 * targetChars) return SEC_E_INVALID_TOKEN;
        auto fresh = std::make_unique<Context>();
        fresh->server = true;
        fresh->flags = LoadU32(body);
        std::memcpy(fresh->clientNonce, body + 4, kNonce);
        fresh->key = Key(true);
        if (fresh->key.size() != 32) return SEC_E_NO_CREDENTIALS;
        if (::BCryptGenRandom(nullptr, fresh->serverNonce, kNonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return SEC_E_INTERNAL_ERROR;
        BYTE flags[4], proof[32];
        StoreU32(flags, fresh->flags);
        if (!Hmac(fresh->key, "TCSP-S", fresh->clientNonce, fresh->serverNonce, flags, 4, proof))
            return SEC_E_INTERNAL_ERROR;
        std::vector<BYTE> token = NewToken(2);
        token.insert(token.end(), fresh->serverNonce, fresh->serverNonce + kNonce);
        token.insert(token.end(), proof, proof + kProof);
        SECURITY_STATUS status = Output(output, token);
        if (status != SEC_E_OK) return status;
        fresh->state = 1;
        NewContextHandle(std::move(fresh), newContext);
        if (contextAttributes) *contextAttributes = ASC_RET_ALLOCATED_MEMORY;
        return SEC_I_CONTINUE_NEEDED;
    }
    Context* c = FindContext(context);
    if (!c || !c->server || c->state != 1) return SEC_E_INVALID_HANDLE;
    if (!TokenBody(input, 3, &body, &length) || length != kProof) return SEC_E_INVALID_TOKEN;
    BYTE expected[32];
    if (!Hmac(c->key, "TCSP-C", c->clientNonce, c->serverNonce, nullptr, 0, expected)) return SEC_E_INTERNAL_ERROR;
    if (std::memcmp(expected, body, kProof) != 0) return SEC_E_LOGON_DENIED;
    if (!Establish(*c)) return SEC_E_INTERNAL_ERROR;
    c->state = 2;
    c->attributes = c->flags & kSupportedAttributes & ~attributesDropped;
    if (contextAttributes) *contextAttributes = c->attributes;
    *newContext = *context;
    if (SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN)) {
        out->cbBuffer = 0;
        out->pvBuffer = nullptr;
    }
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::QueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) {
    Context* c = FindContext(context);
    if (!c || !buffer) return SEC_E_INVALID_HANDLE;
    if (attribute != SECPKG_ATTR_SIZES) return SEC_E_UNSUPPORTED_FUNCTION;
    auto* sizes = static_cast<SecPkgContext_Sizes*>(buffer);
    sizes->cbMaxToken = 1024;
    sizes->cbMaxSignature = kTokenBytes;
    sizes->cbBlockSize = 1;
    sizes->cbSecurityTrailer = kTokenBytes;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::EncryptMessage(PCtxtHandle context, ULONG, PSecBufferDesc message, ULONG) {
    Context* c = FindContext(context);
    if (!c) return SEC_E_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->state != 2) return SEC_E_CONTEXT_EXPIRED;
    SecBuffer* token = FindBuffer(message, SECBUFFER_TOKEN);
    SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
    if (!token || !data || !token->pvBuffer || token->cbBuffer < kTokenBytes || (data->cbBuffer && !data->pvBuffer))
        return SEC_E_INVALID_TOKEN;
    BYTE nonce[12] = {c->server ? BYTE('S') : BYTE('C'), 0, 0, 0};
    uint64_t seq = c->sendSeq++;
    BYTE* t = static_cast<BYTE*>(token->pvBuffer);
    for (int i = 0; i < 8; ++i) nonce[4 + i] = t[i] = BYTE(seq >> (56 - 8 * i));
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = nonce;
    info.cbNonce = 12;
    info.pbTag = t + 8;
    info.cbTag = 16;
    ULONG written = 0;
    NTSTATUS status = ::BCryptEncrypt(c->sendKey, static_cast<PUCHAR>(data->pvBuffer), data->cbBuffer, &info, nullptr, 0,
                                      static_cast<PUCHAR>(data->pvBuffer), data->cbBuffer, &written, 0);
    if (status != 0) return SEC_E_INTERNAL_ERROR;
    token->cbBuffer = kTokenBytes;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG, ULONG* qop) {
    Context* c = FindContext(context);
    if (!c) return SEC_E_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->state != 2) return SEC_E_CONTEXT_EXPIRED;
    if (qop) *qop = 0;
    SecBuffer* token = FindBuffer(message, SECBUFFER_TOKEN);
    SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
    if (!token || !data || !token->pvBuffer || token->cbBuffer < kTokenBytes || (data->cbBuffer && !data->pvBuffer))
        return SEC_E_INVALID_TOKEN;
    const BYTE* t = static_cast<const BYTE*>(token->pvBuffer);
    uint64_t seq = 0;
    for (int i = 0; i < 8; ++i) seq = (seq << 8) | t[i];
    if (seq != c->recvSeq) return SEC_E_OUT_OF_SEQUENCE;
    BYTE nonce[12] = {c->server ? BYTE('C') : BYTE('S'), 0, 0, 0};
    std::memcpy(nonce + 4, t, 8);
    BYTE tag[16];
    std::memcpy(tag, t + 8, 16);
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = nonce;
    info.cbNonce = 12;
    info.pbTag = tag;
    info.cbTag = 16;
    ULONG written = 0;
    NTSTATUS status = ::BCryptDecrypt(c->recvKey, static_cast<PUCHAR>(data->pvBuffer), data->cbBuffer, &info, nullptr, 0,
                                      static_cast<PUCHAR>(data->pvBuffer), data->cbBuffer, &written, 0);
    if (status != 0) return SEC_E_MESSAGE_ALTERED;
    ++c->recvSeq;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::DeleteContext(PCtxtHandle context) {
    Context* c = FindContext(context);
    if (!c) return SEC_E_INVALID_HANDLE;
    ReleaseContext(c);
    context->dwLower = context->dwUpper = 0;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::FreeCredentials(PCredHandle credential) {
    Credential* c = FindCredential(credential);
    if (!c) return SEC_E_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(g_handles);
        g_credentials.erase(c);
    }
    delete c;
    credential->dwLower = credential->dwUpper = 0;
    return SEC_E_OK;
}

SECURITY_STATUS TestSecurityPackage::FreeContextBuffer(void* buffer) {
    if (buffer) ::LocalFree(buffer);
    return SEC_E_OK;
}

}  // namespace platform::testpkg
