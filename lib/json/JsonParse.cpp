// The strict reader: one pass over the text, recursion bounded by kMaxDepth, every index
// checked against the end before it is read.
#include "Json.h"

#include "Utf8.h"

#include <cmath>
#include <cstdlib>
#include <unordered_set>

namespace json {
namespace detail {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Document(Json* out) {
        SkipSpace();
        if (!Value(out, 0)) return false;
        SkipSpace();
        return pos_ == text_.size() || Fail("text after the value");
    }
    const std::string& Error() const { return error_; }

private:
    bool Fail(const char* why) {
        if (error_.empty()) error_ = std::string(why) + " at offset " + std::to_string(pos_);
        return false;
    }
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    void SkipSpace() {
        while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) ++pos_;
    }
    bool Literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return Fail("unknown literal");
        pos_ += word.size();
        return true;
    }

    bool Value(Json* out, int depth) {
        switch (Peek()) {
        case '{': return ObjectValue(out, depth + 1);
        case '[': return ArrayValue(out, depth + 1);
        case '"': {
            std::string text;
            if (!String(&text)) return false;
            *out = Json(std::move(text));
            return true;
        }
        case 't': return Literal("true") && (*out = Json(true), true);
        case 'f': return Literal("false") && (*out = Json(false), true);
        case 'n': return Literal("null") && (*out = Json(), true);
        default: return Number(out);
        }
    }

    bool ObjectValue(Json* out, int depth) {
        if (depth > kMaxDepth) return Fail("nested too deeply");
        ++pos_;  // '{'
        Json object = Json::Object();
        std::unordered_set<std::string> names;  // a hash set keeps many-member objects linear
        SkipSpace();
        if (Peek() == '}') return ++pos_, *out = std::move(object), true;
        for (;;) {
            SkipSpace();
            if (Peek() != '"') return Fail("member name expected");
            std::string name;
            if (!String(&name)) return false;
            // Two values under one name are read differently by different readers.
            if (!names.insert(name).second) return Fail("duplicate member name");
            SkipSpace();
            if (Peek() != ':') return Fail("':' expected");
            ++pos_;
            SkipSpace();
            Json value;
            if (!Value(&value, depth)) return false;
            object.members_.emplace_back(std::move(name), std::move(value));
            SkipSpace();
            if (Peek() == '}') return ++pos_, *out = std::move(object), true;
            if (Peek() != ',') return Fail("',' or '}' expected");
            ++pos_;
        }
    }

    bool ArrayValue(Json* out, int depth) {
        if (depth > kMaxDepth) return Fail("nested too deeply");
        ++pos_;  // '['
        Json array = Json::Array();
        SkipSpace();
        if (Peek() == ']') return ++pos_, *out = std::move(array), true;
        for (;;) {
            SkipSpace();
            Json item;
            if (!Value(&item, depth)) return false;
            array.Append(std::move(item));
            SkipSpace();
            if (Peek() == ']') return ++pos_, *out = std::move(array), true;
            if (Peek() != ',') return Fail("',' or ']' expected");
            ++pos_;
        }
    }

    bool Hex4(char32_t* unit) {
        if (text_.size() - pos_ < 4) return Fail("cut \\u escape");
        *unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return Fail("bad hex digit");
            *unit = (*unit << 4) | static_cast<char32_t>(digit);
        }
        return true;
    }

    bool Escape(std::string* out) {
        if (AtEnd()) return Fail("cut escape");
        const char c = text_[pos_++];
        switch (c) {
        case '"': case '\\': case '/': out->push_back(c); return true;
        case 'b': out->push_back('\b'); return true;
        case 'f': out->push_back('\f'); return true;
        case 'n': out->push_back('\n'); return true;
        case 'r': out->push_back('\r'); return true;
        case 't': out->push_back('\t'); return true;
        case 'u': break;
        default: return Fail("unknown escape");
        }
        char32_t unit = 0;
        if (!Hex4(&unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail("lone low surrogate");
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            char32_t low = 0;
            if (text_.substr(pos_, 2) != "\\u") return Fail("lone high surrogate");
            pos_ += 2;
            if (!Hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("lone high surrogate");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        utf8::Encode(unit, out);
        return true;
    }

    bool String(std::string* out) {
        ++pos_;  // '"'
        for (;;) {
            if (AtEnd()) return Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') return ++pos_, true;
            if (c < 0x20) return Fail("control character in string");
            if (c == '\\') {
                ++pos_;
                if (!Escape(out)) return false;
                continue;
            }
            const size_t start = pos_;
            if (utf8::Decode(text_, &pos_) == utf8::kInvalid) return pos_ = start, Fail("not UTF-8");
            out->append(text_.substr(start, pos_ - start));
        }
    }

    bool Digits() {
        const size_t start = pos_;
        while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        return pos_ > start || Fail("digit expected");
    }

    bool Number(Json* out) {
        const size_t start = pos_;
        if (Peek() == '-') ++pos_;
        if (Peek() == '0') {
            ++pos_;
        } else if (Peek() >= '1' && Peek() <= '9') {
            Digits();
        } else {
            return Fail("value expected");
        }
        if (Peek() == '.') {
            ++pos_;
            if (!Digits()) return false;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++pos_;
            if (Peek() == '+' || Peek() == '-') ++pos_;
            if (!Digits()) return false;
        }
        // strtod needs a terminated copy; the grammar above already limits what it sees.
        const std::string token(text_.substr(start, pos_ - start));
        const double value = std::strtod(token.c_str(), nullptr);
        if (!std::isfinite(value)) return Fail("number out of range");
        *out = Json(value);
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace detail

bool Parse(std::string_view text, Json* out, std::string* error) {
    if (text.size() > kMaxTextBytes) {
        if (error) *error = "text too long";
        return false;
    }
    detail::Reader parser(text);
    Json value;
    if (!parser.Document(&value)) {
        if (error) *error = parser.Error();
        return false;
    }
    *out = std::move(value);
    return true;
}

}  // namespace json
