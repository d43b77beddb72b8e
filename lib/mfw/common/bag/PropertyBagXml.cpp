// The XML text form of a property bag:
//   <PROPERTYBAG><ITEM name="n">value</ITEM><ITEM name="b" type="BAG">...</ITEM>
//   <ITEM name="x" type="BINARY">base64</ITEM></PROPERTYBAG>
// The reader also takes single-quoted attributes in any order, unknown attributes (ignored),
// self-closed items (<ITEM name="n"/> is an empty value), decimal character references, and a
// stray '&' as itself (the minimal escaping mode writes it unescaped).
#include "lib/mfw/common/bag/PropertyBag.h"

#include "lib/mfw/common/util/LogSink.h"

#include <cwchar>
#include <exception>

namespace CORE {
namespace {

void Escape(std::wstring& out, std::wstring_view text, int mode) {
    if (mode == PropertyBag::XML_ESCAPE_NONE) {
        out += text;
        return;
    }
    for (wchar_t c : text) {
        if (mode == PropertyBag::XML_ESCAPE_MINIMAL) {
            if (c == L'<')
                out += L"&lt;";
            else if (c == 0)
                out += L"&#x000000;";
            else
                out.push_back(c);
            continue;
        }
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'\'': out += L"&apos;"; break;
        default:
            if (c < 0x20) {
                wchar_t reference[16];
                std::swprintf(reference, 16, L"&#x%06x;", static_cast<unsigned>(c));
                out += reference;
            } else {
                out.push_back(c);
            }
        }
    }
}

class XmlReader {
public:
    explicit XmlReader(std::wstring_view text) : text_(text) {}

    bool Parse(PropertyBag* bag) {
        SkipSpace();
        if (!StartsWith(L"<PROPERTYBAG")) return Fail(L"expected start of property bag");
        pos_ += 12;
        size_t close = text_.find(L'>', pos_);
        if (close == std::wstring::npos) return Fail(L"expected start of property bag");
        bool selfClosed = close > pos_ && text_[close - 1] == L'/';
        if (pos_ < close && !IsSpace(text_[pos_]) && text_[pos_] != L'/') return Fail(L"expected start of property bag");
        pos_ = close + 1;
        if (!selfClosed && !ParseItems(bag, 0, true)) return false;
        SkipSpace();
        if (pos_ != text_.size()) return Fail(L"un-expected data after property bag");
        return true;
    }

    const std::wstring& Reason() const { return reason_; }
    void Position(unsigned* line, unsigned* column) const {
        *line = 1;
        size_t lineStart = 0;
        for (size_t i = 0; i < failPos_ && i < text_.size(); ++i)
            if (text_[i] == L'\n') {
                ++*line;
                lineStart = i + 1;
            }
        *column = static_cast<unsigned>(failPos_ - lineStart + 1);
    }

private:
    static bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
    void SkipSpace() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    }
    bool StartsWith(const wchar_t* literal) const { return text_.compare(pos_, std::wcslen(literal), literal) == 0; }
    bool Fail(const wchar_t* reason) {
        if (reason_.empty()) {
            reason_ = reason;
            failPos_ = pos_;
        }
        return false;
    }

    bool ParseItems(PropertyBag* bag, int depth, bool top) {
        for (;;) {
            SkipSpace();
            if (pos_ >= text_.size()) return Fail(L"unexpected end of text");
            if (top && StartsWith(L"</PROPERTYBAG>")) {
                pos_ += 14;
                return true;
            }
            if (!top && StartsWith(L"</ITEM>")) {
                pos_ += 7;
                return true;
            }
            if (!StartsWith(L"<ITEM") || pos_ + 5 >= text_.size() ||
                !(IsSpace(text_[pos_ + 5]) || text_[pos_ + 5] == L'>' || text_[pos_ + 5] == L'/'))
                return Fail(L"expected item");
            itemStart_ = pos_;
            pos_ += 5;
            if (!ParseItem(bag, depth)) return false;
        }
    }

    // Reads the attributes of an item up to and including its ">" or "/>"; unknown ones are skipped.
    bool ParseAttributes(std::wstring* name, std::wstring* type, bool* haveName, bool* selfClosed) {
        for (;;) {
            SkipSpace();
            if (pos_ >= text_.size()) return Fail(L"unexpected end of text");
            if (text_[pos_] == L'>') {
                ++pos_;
                return true;
            }
            if (StartsWith(L"/>")) {
                pos_ += 2;
                *selfClosed = true;
                return true;
            }
            size_t start = pos_;
            while (pos_ < text_.size() && (iswalnum(text_[pos_]) || text_[pos_] == L'_' || text_[pos_] == L'-' ||
                                           text_[pos_] == L':'))
                ++pos_;
            if (pos_ == start) return Fail(L"expected attribute");
            std::wstring attribute(text_.substr(start, pos_ - start));
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != L'=') return Fail(L"expected '=' after attribute name");
            ++pos_;
            SkipSpace();
            if (pos_ >= text_.size() || (text_[pos_] != L'"' && text_[pos_] != L'\'')) return Fail(L"expected quoted attribute value");
            wchar_t quote = text_[pos_++];
            size_t end = text_.find(quote, pos_);
            if (end == std::wstring::npos) return Fail(L"unterminated attribute value");
            std::wstring value;
            if (!Unescape(text_.data() + pos_, end - pos_, &value)) return false;
            pos_ = end + 1;
            if (attribute == L"name") {
                *name = std::move(value);
                *haveName = true;
            } else if (attribute == L"type") {
                *type = std::move(value);
            }
        }
    }

    bool ParseItem(PropertyBag* bag, int depth) {
        std::wstring name, type;
        bool haveName = false, selfClosed = false;
        if (!ParseAttributes(&name, &type, &haveName, &selfClosed)) return false;
        if (!haveName) {
            pos_ = itemStart_;
            return Fail(L"item without name");
        }
        if (type == L"BAG") {
            PropertyBag sub;
            if (!selfClosed) {
                if (depth + 1 >= PropertyBag::kMaxDepth) return Fail(L"property bags nested too deep");
                if (!ParseItems(&sub, depth + 1, false)) return false;
            }
            bag->SetBag(name, sub);
            return true;
        }
        std::wstring content;
        if (!selfClosed) {
            size_t start = pos_;
            size_t end = text_.find(L'<', pos_);
            if (end == std::wstring::npos) return Fail(L"unexpected end of text");
            pos_ = end;
            if (!StartsWith(L"</ITEM>")) return Fail(L"expected end of item");
            pos_ += 7;
            if (type == L"BINARY") {
                std::vector<BYTE> bytes;
                if (!Base64Decode(text_.data() + start, end - start, &bytes)) {
                    pos_ = start;
                    return Fail(L"invalid base64 data");
                }
                bag->SetBinary(name, bytes.data(), bytes.size());
                return true;
            }
            if (!Unescape(text_.data() + start, end - start, &content)) return false;
        } else if (type == L"BINARY") {
            bag->SetBinary(name, nullptr, 0);
            return true;
        }
        bag->Set(name, content);
        return true;
    }

    // Decodes the five entities and numeric references; anything else after '&' stays as is.
    bool Unescape(const wchar_t* text, size_t length, std::wstring* out) {
        out->clear();
        out->reserve(length);
        for (size_t i = 0; i < length; ++i) {
            wchar_t c = text[i];
            if (c != L'&') {
                out->push_back(c);
                continue;
            }
            size_t semicolon = i + 1;
            while (semicolon < length && semicolon - i <= 12 && text[semicolon] != L';') ++semicolon;
            if (semicolon >= length || text[semicolon] != L';') {
                out->push_back(c);
                continue;
            }
            std::wstring entity(text + i + 1, semicolon - i - 1);
            wchar_t single = 0;
            bool known = true;
            if (entity == L"amp") single = L'&';
            else if (entity == L"lt") single = L'<';
            else if (entity == L"gt") single = L'>';
            else if (entity == L"quot") single = L'"';
            else if (entity == L"apos") single = L'\'';
            else known = false;
            if (known) {
                out->push_back(single);
                i = semicolon;
                continue;
            }
            if (entity.size() >= 2 && entity[0] == L'#') {
                bool hex = entity[1] == L'x' || entity[1] == L'X';
                size_t digitsAt = hex ? 2 : 1;
                unsigned long value = 0;
                bool ok = entity.size() > digitsAt;
                for (size_t d = digitsAt; d < entity.size() && ok; ++d) {
                    wchar_t ch = entity[d];
                    int digit = -1;
                    if (ch >= L'0' && ch <= L'9') digit = ch - L'0';
                    else if (hex && ch >= L'a' && ch <= L'f') digit = ch - L'a' + 10;
                    else if (hex && ch >= L'A' && ch <= L'F') digit = ch - L'A' + 10;
                    ok = digit >= 0;
                    value = value * (hex ? 16 : 10) + static_cast<unsigned long>(digit < 0 ? 0 : digit);
                    if (value > 0x10FFFF) ok = false;
                }
                if (ok) {
                    if (value >= 0x10000) {
                        value -= 0x10000;
                        out->push_back(static_cast<wchar_t>(0xD800 + (value >> 10)));
                        out->push_back(static_cast<wchar_t>(0xDC00 + (value & 0x3FF)));
                    } else {
                        out->push_back(static_cast<wchar_t>(value));
                    }
                    i = semicolon;
                    continue;
                }
            }
            out->push_back(c);
        }
        return true;
    }

    std::wstring_view text_;
    size_t pos_ = 0;
    size_t failPos_ = 0;
    size_t itemStart_ = 0;
    std::wstring reason_;
};

}  // namespace

void PropertyBag::ToXmlItems(std::wstring& out, int mode) const {
    for (const auto& entry : items_) {
        const Item& item = *entry;
        out += L"<ITEM name=\"";
        Escape(out, item.Name(), mode);
        switch (item.Type()) {
        case ITEM_STRING:
            out += L"\">";
            Escape(out, item.Text(), mode);
            break;
        case ITEM_BAG:
            out += L"\" type=\"BAG\">";
            item.Bag().ToXmlItems(out, mode);
            break;
        case ITEM_BINARY:
            out += L"\" type=\"BINARY\">";
            out += Base64Encode(item.Binary().data(), item.Binary().size());
            break;
        }
        out += L"</ITEM>";
    }
}

std::wstring PropertyBag::ToXml(int escapeMode) const {
    if (items_.empty()) return std::wstring();
    std::wstring out = L"<PROPERTYBAG>";
    ToXmlItems(out, escapeMode);
    out += L"</PROPERTYBAG>";
    return out;
}

bool PropertyBag::FromXml(std::wstring_view text) {
    Clear();
    try {
        PropertyBag parsed;
        XmlReader reader(text);
        if (reader.Parse(&parsed)) {
            *this = std::move(parsed);
            return true;
        }
        unsigned line = 0, column = 0;
        reader.Position(&line, &column);
        LogToSink(LOG_WARN, L"PropertyBag Parse failed: %s, line=%u, col=%u", reader.Reason().c_str(), line, column);
    } catch (const std::exception&) {
        LogToSink(LOG_WARN, L"PropertyBag load failed with EXCEPTION");
    }
    Clear();
    return false;
}

}  // namespace CORE
