// Message parsing in each binary encoding (plain, Utf8, Utf16: the seed's index) and in the
// legacy text form. Rule: an accepted message is written again in the same form and reads back
// as the same message (a legacy message whose type has no legacy form is not written).
#include "Samples.h"
#include "Target.h"

namespace fuzz {
namespace {

bool Flatten(const CORE::Message& message, int encoding, CORE::SecureBytes* out) {
    return encoding == 0 ? message.FlattenPlain(out) : message.Flatten(encoding, out);
}

Verdict RunBinary(const Input& in) {
    const int encoding = static_cast<int>(in.seed);
    CORE::Message message, back;
    CORE::SecureBytes again;
    if (!CORE::Message::Parse(in.data, in.size, encoding, &message)) return Verdict::Refused;
    const bool ok = Flatten(message, encoding, &again) && CORE::Message::Parse(again.data(), again.size(), encoding, &back) &&
                    back.Equals(message);
    return ok ? Verdict::Accepted : Verdict::WronglyAccepted;
}

Verdict RunText(const Input& in) {
    const std::wstring_view text = WideView(in);
    CORE::Message message, back;
    std::wstring again;
    if (!CORE::Message::ParseLegacy(text.data(), text.size(), &message)) return Verdict::Refused;
    const bool ok = !message.FlattenLegacy(&again) ||
                    (CORE::Message::ParseLegacy(again.data(), again.size(), &back) && back.Equals(message));
    return ok ? Verdict::Accepted : Verdict::WronglyAccepted;
}

}  // namespace

std::unique_ptr<Target> MessageTarget(PrivateMachine&) {
    auto target = std::make_unique<Target>();
    target->name = "message";
    for (int encoding = 0; encoding < 3; ++encoding) {
        CORE::SecureBytes flat;
        if (!Flatten(SampleMessage(), encoding, &flat)) return nullptr;
        target->seeds.push_back({std::vector<BYTE>(flat.begin(), flat.end())});
    }
    target->run = &RunBinary;
    return target;
}

std::unique_ptr<Target> MessageTextTarget(PrivateMachine&) {
    auto target = std::make_unique<Target>();
    target->name = "message-text";
    std::wstring text;
    if (!SampleMessage().FlattenLegacy(&text)) return nullptr;
    target->seeds = {TextSeed(text)};
    target->run = &RunText;
    return target;
}

}  // namespace fuzz
