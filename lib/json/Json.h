// JSON values for the Entra messages: objects keep their members in insertion order and text
// goes out compact, the way Windows.Data.Json's Stringify writes it; Parse reads untrusted text.
//
// Text form of Stringify: no white space; strings in double quotes with '"' and '\' escaped,
// \b \f \n \r \t for those controls and \u00XX for the other characters below U+0020; every
// other character as it stands (UTF-8). Byte sequences that are not UTF-8 become U+FFFD.
// Numbers: integers up to 2^53 in plain decimal, others in the shortest form that reads back
// to the same double.
//
// Parse: RFC 8259 text in UTF-8 only (no comments, no trailing commas, no leading zeros, no
// lone surrogates, no raw controls in strings, no duplicate member names, nothing after the
// value but white space), nested at most kMaxDepth arrays and objects, at most kMaxTextBytes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace json {

namespace detail {
class Reader;
}

class Json {
public:
    enum class Type { Null, Boolean, Number, String, Array, Object };
    using Member = std::pair<std::string, Json>;

    Json() = default;  // null
    Json(bool value) : type_(Type::Boolean), boolean_(value) {}
    Json(double value) : type_(Type::Number), number_(value) {}
    Json(int value) : Json(static_cast<double>(value)) {}
    Json(std::string value) : type_(Type::String), text_(std::move(value)) {}
    Json(const char* value) : Json(std::string(value ? value : "")) {}
    static Json Object() { return Json(Type::Object); }
    static Json Array() { return Json(Type::Array); }

    Type GetType() const { return type_; }
    bool IsNull() const { return type_ == Type::Null; }
    // The value when the type matches, else false, 0 or empty.
    bool AsBoolean() const { return type_ == Type::Boolean && boolean_; }
    double AsNumber() const { return type_ == Type::Number ? number_ : 0; }
    const std::string& AsString() const;

    // Objects: Set appends a new member or replaces the value of an existing one in place
    // (a value that is not an object becomes an empty object first). Find gives null when
    // the member is missing or this is no object.
    Json& Set(std::string name, Json value);
    const Json* Find(std::string_view name) const;
    const std::vector<Member>& Members() const { return members_; }
    // Arrays: Append turns a value that is not an array into an empty array first.
    Json& Append(Json value);
    const std::vector<Json>& Items() const { return items_; }

    std::string Stringify() const;
    bool operator==(const Json& other) const;

private:
    friend class detail::Reader;  // appends members it has already checked for duplicates
    explicit Json(Type type) : type_(type) {}
    void StringifyTo(std::string* out) const;

    Type type_ = Type::Null;
    bool boolean_ = false;
    double number_ = 0;
    std::string text_;
    std::vector<Json> items_;
    std::vector<Member> members_;
};

inline constexpr int kMaxDepth = 64;
inline constexpr size_t kMaxTextBytes = 16 * 1024 * 1024;

// Reads one value; false (out untouched, `error` says where and why) on any fault.
[[nodiscard]] bool Parse(std::string_view text, Json* out, std::string* error = nullptr);

// Appends `text` as a quoted JSON string (the escaping described above).
void AppendQuoted(std::string_view text, std::string* out);

}  // namespace json
