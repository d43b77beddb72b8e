// What the Entra road reads from outside: the CloudAP package's JSON answers, to the assertion
// call (its "authbuffer" in Base64, even seeds) and to the nonce call ("ts_nonce", odd seeds),
// through the LSA helper as the tile uses it, and the JSON reader itself on the bytes before the
// guard page. Rules: text the reader accepts is written again and reads back as the same value;
// an answer the helper takes is a JSON object whose member is a string, and what it hands out
// is no longer than that member says (the nonce: exactly its text).
#include "Target.h"

#include "entra/CloudApHelperLsass.h"
#include "entra/CloudApText.h"
#include "lib/json/Json.h"
#include "platform/Platform.h"
#include "platform/cloudapsim/DataLsaClient.h"

namespace fuzz {
namespace {

struct EntraFuzz {
    platform::cloudapsim::DataLsaClient* lsa = nullptr;
    EntraAuth::CloudApHelperLsass helper;

    // The member `name` of the answer as the reader sees it; false when there is none.
    static bool Member(std::string_view text, const char* name, std::string* value) {
        json::Json parsed;
        if (!json::Parse(text, &parsed) || !parsed.is_object()) return false;
        auto found = parsed.find(name);
        if (found == parsed.end() || !found->is_string()) return false;
        *value = found->get<std::string>();
        return true;
    }

    Verdict Run(const Input& in) {
        const std::string_view text(reinterpret_cast<const char*>(in.data), in.size);
        json::Json value, again;
        if (json::Parse(text, &value) && !(json::Parse(json::Stringify(value), &again) && again == value))
            return Verdict::WronglyAccepted;
        const bool nonceCall = in.seed % 2;
        {
            std::lock_guard<std::mutex> guard(lsa->lock);
            lsa->requests.clear();  // kept by the package for tests; here they would only pile up
        }
        lsa->answers[nonceCall ? 9 : 10] = std::string(text);
        std::string member;
        if (nonceCall) {
            std::wstring nonce;
            if (FAILED(helper.GetDeviceNonce(&nonce))) return Verdict::Refused;
            return Member(text, "ts_nonce", &member) && !nonce.empty() && nonce == EntraAuth::FromUtf8(member)
                       ? Verdict::Accepted : Verdict::WronglyAccepted;
        }
        std::vector<BYTE> blob;
        if (FAILED(helper.GetCredBlobFromAssertion(L"an-rdp-assertion", L"", &blob))) return Verdict::Refused;
        return Member(text, "authbuffer", &member) && !blob.empty() && blob.size() <= member.size() / 4 * 3 + 3
                   ? Verdict::Accepted : Verdict::WronglyAccepted;
    }
};

}  // namespace

std::unique_ptr<Target> EntraTarget(PrivateMachine&) {
    auto state = std::make_shared<EntraFuzz>();
    state->lsa = dynamic_cast<platform::cloudapsim::DataLsaClient*>(&platform::Get().Lsa());
    if (!state->lsa || FAILED(state->helper.Initialize(L"0b5e3c2a-7d41-4f6e-9a8b-1c2d3e4f5a6b"))) return nullptr;
    auto target = std::make_unique<Target>();
    target->name = "entra";
    for (const char* answer :
         {R"({"authbuffer":"Q0xPVURBUC1CTE9COmFuLXJkcC1hc3NlcnRpb24=","status":0})",
          R"({"ts_nonce":"AwABEgEAAAACAOz_BQD0_4nq-Y3Qp5Z6K1u2","expires_in":300,"ok":true})",
          R"({"x":[1,2.5e3,null,{"y":"\u00e9\ud83d\udd11"}],"authbuffer":"AAECAwQFBgcICQ=="})",
          R"({"ts_nonce":"n\u00f6nce","list":[],"obj":{}})"}) {
        const std::string text = answer;
        target->seeds.push_back({std::vector<BYTE>(text.begin(), text.end())});
    }
    target->run = [state](const Input& in) { return state->Run(in); };
    return target;
}

}  // namespace fuzz
