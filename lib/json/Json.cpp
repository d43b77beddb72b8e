#include "Json.h"

#include "Utf8.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace json {

namespace utf8 {

char32_t Decode(std::string_view text, size_t* pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(*pos);
    size_t length = 0;
    char32_t value = 0, minimum = 0;
    if (lead < 0x80) {
        ++*pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++*pos;
        return kInvalid;
    }
    if (length > text.size() - *pos) {
        ++*pos;
        return kInvalid;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(*pos + i);
        if ((next & 0xC0) != 0x80) {
            ++*pos;
            return kInvalid;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*pos;
        return kInvalid;
    }
    *pos += length;
    return value;
}

void Encode(char32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace utf8

namespace {

void AppendNumber(double value, std::string* out) {
    char buffer[32];
    // JSON has no form for these; Windows.Data.Json refuses to make them, so they cannot
    // come from a parsed text either.
    if (!std::isfinite(value)) {
        out->append("null");
        return;
    }
    if (std::fabs(value) <= 9007199254740992.0 && value == std::trunc(value)) {
        std::snprintf(buffer, sizeof(buffer), "%.0f", value == 0 ? 0.0 : value);
        out->append(buffer);
        return;
    }
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof(buffer), "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    out->append(buffer);
}

}  // namespace

void AppendQuoted(std::string_view text, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    out->push_back('"');
    for (size_t pos = 0; pos < text.size();) {
        const char32_t c = utf8::Decode(text, &pos);
        switch (c) {
        case '"': out->append("\\\""); break;
        case '\\': out->append("\\\\"); break;
        case '\b': out->append("\\b"); break;
        case '\f': out->append("\\f"); break;
        case '\n': out->append("\\n"); break;
        case '\r': out->append("\\r"); break;
        case '\t': out->append("\\t"); break;
        case utf8::kInvalid: utf8::Encode(0xFFFD, out); break;
        default:
            if (c < 0x20) {
                out->append("\\u00");
                out->push_back(kHex[c >> 4]);
                out->push_back(kHex[c & 0xF]);
            } else {
                utf8::Encode(c, out);
            }
        }
    }
    out->push_back('"');
}

const std::string& Json::AsString() const {
    static const std::string empty;
    return type_ == Type::String ? text_ : empty;
}

Json& Json::Set(std::string name, Json value) {
    if (type_ != Type::Object) *this = Object();
    for (Member& member : members_) {
        if (member.first == name) {
            member.second = std::move(value);
            return member.second;
        }
    }
    members_.emplace_back(std::move(name), std::move(value));
    return members_.back().second;
}

const Json* Json::Find(std::string_view name) const {
    for (const Member& member : members_)
        if (member.first == name) return &member.second;
    return nullptr;
}

Json& Json::Append(Json value) {
    if (type_ != Type::Array) *this = Array();
    items_.push_back(std::move(value));
    return items_.back();
}

std::string Json::Stringify() const {
    std::string out;
    StringifyTo(&out);
    return out;
}

void Json::StringifyTo(std::string* out) const {
    switch (type_) {
    case Type::Null: out->append("null"); break;
    case Type::Boolean: out->append(boolean_ ? "true" : "false"); break;
    case Type::Number: AppendNumber(number_, out); break;
    case Type::String: AppendQuoted(text_, out); break;
    case Type::Array:
        out->push_back('[');
        for (size_t i = 0; i < items_.size(); ++i) {
            if (i) out->push_back(',');
            items_[i].StringifyTo(out);
        }
        out->push_back(']');
        break;
    case Type::Object:
        out->push_back('{');
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i) out->push_back(',');
            AppendQuoted(members_[i].first, out);
            out->push_back(':');
            members_[i].second.StringifyTo(out);
        }
        out->push_back('}');
        break;
    }
}

bool Json::operator==(const Json& other) const {
    if (type_ != other.type_) return false;
    switch (type_) {
    case Type::Null: return true;
    case Type::Boolean: return boolean_ == other.boolean_;
    case Type::Number: return number_ == other.number_;
    case Type::String: return text_ == other.text_;
    case Type::Array: return items_ == other.items_;
    case Type::Object: return members_ == other.members_;
    }
    return false;
}

}  // namespace json
