// Protected payload decryption through the real key vault (in the run's private HKLM), and the
// tag grammar on the way. Seeds: an AES, an SMSS and an unnamed-key payload as text (the tag
// and the Base64 mutated), then their decoded bytes (mutated, encoded again behind the
// original tag: this reaches the schemes' length and version checks far more often).
// Rules: text not in the protected form comes back unchanged; what decrypts has one of the two
// layouts and a tag that parses; the seed's bytes under the seed's key decrypt to its secret,
// and no other key ever gives that secret; a refusal logs one reason and gives nothing. A tag that parses is written in its canonical form
// and parses back to the same key; one that does not leaves the key empty.
#include "Target.h"

#include "lib/keyvault/KeyVault.h"
#include "lib/keyvault/PayloadWriter.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "sso/Key.h"
#include "sso/SecurityManager.h"

#include <tuple>

namespace fuzz {
namespace {

struct Protected {
    std::wstring secret, tag;  // tag: the text up to its closing brace
    std::vector<BYTE> bytes;   // decoded
    Key key;
};

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }  // each unit's low byte
auto Fields(const Key& k) { return std::make_tuple(k.name, k.baseName, k.scheme, k.number, k.version); }

bool SameKey(const Key& a, const Key& b) {
    return a.scheme == b.scheme && ::_stricmp(a.createKeyspec().c_str(), b.createKeyspec().c_str()) == 0;
}

// The tag's own rules; false when broken.
bool TagHolds(const Input& in, std::wstring_view text) {
    const std::string narrow = Narrow(text);
    const char* placed = reinterpret_cast<const char*>(in.buffer.Place(2, narrow.data(), narrow.size()));
    size_t brace = std::string::npos;
    const bool found = FindPayloadTag({placed, narrow.size()}, &brace);
    if (found && (brace >= narrow.size() || narrow[brace] != '}')) return false;
    Key key, again;
    if (!key.parseTag({placed, found ? brace + 1 : narrow.size()})) return key.name.empty() && key.scheme.empty() && key.baseName.empty();
    return (key.components == 3 || key.components == 4) && again.parseTag(key.createTag()) && Fields(again) == Fields(key);
}

bool WellFormed(const std::vector<BYTE>& data) {
    const bool aes = data.size() >= 24 && (data.size() - 8) % 16 == 0;
    const bool smss = data.size() >= 34 && data[0] <= 1 && data[1] == 16 && (data.size() - 18) % 16 == 0;
    return aes || smss;
}

Verdict Judge(const Protected& seed, std::wstring_view text, const CORE::SecureWString& result) {
    if (!IsProtectedPayload(text)) return result.view() == text ? Verdict::Accepted : Verdict::WronglyAccepted;
    if (result.empty()) return Verdict::Refused;
    const size_t brace = text.find(L'}', text.find(L'-', 1) + 1);
    std::vector<BYTE> data;
    Key key;
    if (!CORE::Base64Decode(text.data() + brace + 1, text.size() - brace - 1, &data) || !WellFormed(data) ||
        !key.parseTag(Narrow(text.substr(0, brace + 1))))
        return Verdict::WronglyAccepted;
    const bool secret = result.view() == seed.secret;
    if (SameKey(key, seed.key) && data == seed.bytes && !secret) return Verdict::WronglyAccepted;
    if (!SameKey(key, seed.key) && secret) return Verdict::WronglyAccepted;
    return Verdict::Accepted;
}

// Counts the failures DecryptProtectedPayload reports (on the caller's thread).
class FailureCount final : public CORE::ILogObserver {
public:
    size_t count = 0;
    void OnLogRecord(int level, const std::wstring& text) override {
        count += level == CORE::LOG_ERROR && text.find(L"SecurityManager::DecryptEx FAILED: ") != std::wstring::npos;
    }
};

struct PayloadFuzz {
    std::vector<Protected> payloads;
    FailureCount failures;

    Verdict Run(const Input& in) {
        const Protected& seed = payloads[in.seed % payloads.size()];
        std::wstring_view text = WideView(in);
        std::wstring built;
        if (in.seed >= payloads.size()) {  // decoded bytes: encoded again behind the seed's tag
            built = seed.tag + CORE::Base64Encode(in.data, in.size);
            const BYTE* placed = in.buffer.Place(1, built.data(), built.size() * sizeof(wchar_t));
            text = {reinterpret_cast<const wchar_t*>(placed), built.size()};
        }
        if (!TagHolds(in, text)) return Verdict::WronglyAccepted;
        failures.count = 0;
        const CORE::SecureWString result = DecryptProtectedPayload(text);
        if (failures.count > 1 || (failures.count && !result.empty())) return Verdict::WronglyAccepted;
        return Judge(seed, text, result);
    }
};

}  // namespace

std::unique_ptr<Target> PayloadTarget(PrivateMachine&) {
    const struct { const wchar_t *secret, *keyName, *scheme; } kPayloads[] = {
        {L"Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9", L"SSO", L"AES"}, {L"482913", L"pin-key", L"SMSS"}, {L"7391", L"", L"AES"}};
    auto state = std::make_shared<PayloadFuzz>();
    auto target = std::make_unique<Target>();
    target->name = "payload";
    for (const auto& p : kPayloads) {
        std::wstring error;
        if (!keyvault::EnsureMasterKey(keyvault::MasterKeyNameFor(p.keyName, p.scheme)).ok()) return nullptr;
        const std::wstring text = keyvault::BuildProtectedPayload(p.secret, p.keyName, p.scheme, &error);
        const size_t brace = text.find(L'}');
        Protected seed{p.secret, text.substr(0, brace + 1), {}, {}};
        if (text.empty() || !CORE::Base64Decode(text.data() + brace + 1, text.size() - brace - 1, &seed.bytes) ||
            !seed.key.parseTag(Narrow(seed.tag)))
            return nullptr;
        state->payloads.push_back(seed);
        target->seeds.push_back(TextSeed(text));
    }
    for (const auto& seed : state->payloads) target->seeds.push_back({seed.bytes});
    CORE::SetLogObserver(&state->failures);
    target->run = [state](const Input& in) { return state->Run(in); };
    target->finish = [state] { return CORE::SetLogObserver(nullptr), std::string(); };
    return target;
}

}  // namespace fuzz
