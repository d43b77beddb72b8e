#include "Key.h"

#include "CipherScheme.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <array>

namespace {

bool IsSeparator(char c) { return c == '{' || c == '}' || c == ':' || c == '-' || c == '='; }

// Decimal digits only, without overflow: a tag from outside is never guessed at.
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// Quotes a component when the grammar would split it or drop its quote characters; a double
// quote inside is written as '"', which joins the pieces back into one component.
std::string QuoteComponent(const std::string& text) {
    bool plain = !text.empty();
    for (char c : text)
        if (IsSeparator(c) || c == '"' || c == '\'') plain = false;
    if (plain) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += "\"'\"'\"";
        else
            out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace

bool FindPayloadTag(std::string_view text, size_t* closingBrace) noexcept {
    if (text.empty() || text[0] != '{') return false;
    size_t hyphen = text.find('-', 1);
    if (hyphen == std::string_view::npos) return false;
    size_t brace = text.find('}', hyphen + 1);
    if (brace == std::string_view::npos) return false;
    *closingBrace = brace;
    return true;
}

void Key::clear() noexcept {
    name.clear();
    baseName.clear();
    scheme.clear();
    number = 0;
    version = 0;
    components = 0;
}

namespace {

// The tag's pieces, split at separators outside quotes; the piece count (only the first five
// are kept in `parts`).
int SplitTag(std::string_view tag, std::array<std::string, 5>* parts) {
    // Only the first five pieces are kept; more than four make the tag invalid anyway.
    int count = 0;
    std::string current;
    bool quoted = false;
    char quote = 0;
    auto flush = [&] {
        if (!current.empty() || quoted) {
            if (count < static_cast<int>(parts->size())) (*parts)[static_cast<size_t>(count)] = current;
            if (count < 0x7FFFFFFF) ++count;
        }
        current.clear();
        quoted = false;
    };
    for (char c : tag) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                current.push_back(c);
        } else if (c == '"' || c == '\'') {
            quote = c;
            quoted = true;
        } else if (IsSeparator(c)) {
            flush();
        } else {
            current.push_back(c);
        }
    }
    flush();
    return count;
}

}  // namespace

bool Key::parseTag(std::string_view tag) {
    clear();
    std::array<std::string, 5> parts;
    const int count = SplitTag(tag, &parts);
    components = count;

    if (count != 3 && count != 4) {
        CORE::LogMessage(CORE::LOG_TRACE, L"Key::parseTag(): Invalid encryption tag - found %d components!", count);
        clear();
        components = count;
        return false;
    }
    uint64_t parsedNumber = 0, parsedVersion = 0;
    const std::string& versionText = parts[static_cast<size_t>(count - 1)];
    if ((count == 4 && !ParseDecimal(parts[2], UINT64_MAX, &parsedNumber)) ||
        !ParseDecimal(versionText, UINT32_MAX, &parsedVersion)) {
        CORE::LogMessage(CORE::LOG_TRACE, L"Key::parseTag(): Invalid encryption tag - number expected");
        clear();
        components = count;
        return false;
    }

    const std::string& nameText = parts[0];
    size_t split = nameText.find("##");
    if (split != std::string::npos) {
        baseName = nameText.substr(0, split);
        name = nameText.substr(split + 2);
    } else {
        name = nameText;
    }
    if (name == "#") name.clear();
    scheme = parts[1];
    number = parsedNumber;
    version = static_cast<uint32_t>(parsedVersion);
    return true;
}

std::string Key::createKeyspec() const {
    std::string keyspec;
    if (scheme == "AES") {
        if (name == "SSO")
            keyspec = "SECURITYMGRSSO";
        else if (!name.empty())
            keyspec = name;
        else
            keyspec = "SECURITYMGRSESS";
    } else if (scheme == "LSEK") {
        keyspec = "local storage cipher key";
    } else {
        // The names "CMS" and "FMS" add parts of their own there; this module meets neither.
        keyspec = baseName.empty() ? name : baseName + "##" + name;
    }
    CORE::LogMessage(CORE::LOG_TRACE, L"Key::createKeyspec(): Keyspec: %S", keyspec.c_str());
    return keyspec;
}

std::string Key::createTag() const {
    std::string nameText = name.empty() ? "#" : name;
    if (!baseName.empty()) nameText = baseName + "##" + nameText;
    std::string tag = "{" + QuoteComponent(nameText) + "-" + QuoteComponent(scheme);
    if (components == 4 || scheme == "ASKS") tag += "=" + std::to_string(number);
    tag += ":" + std::to_string(version) + "}";
    CORE::LogMessage(CORE::LOG_DEBUG, L"Key::createTag(): Tag: %S", tag.c_str());
    return tag;
}

std::unique_ptr<CipherScheme> Key::cipherScheme() const {
    if (components == 4)
        CORE::LogMessage(CORE::LOG_TRACE, L"Key::cipherScheme(): Scheme: %S=%d", scheme.c_str(), static_cast<int>(number));
    else
        CORE::LogMessage(CORE::LOG_TRACE, L"Key::cipherScheme(): Scheme: %S", scheme.c_str());
    if (scheme == "AES") return std::make_unique<CipherScheme_AES>();
    if (scheme == "SMSS") return std::make_unique<CipherScheme_SMSS>();
    return nullptr;
}
