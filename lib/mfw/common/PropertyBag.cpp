#include "PropertyBag.h"

#include "Config.h"
#include "SysMessage.h"
#include "coreException.h"

#include <cwchar>
#include <new>

namespace CORE {
namespace {

[[noreturn]] void Throw(const std::wstring& text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    throw coreException(narrow.c_str());
}

[[noreturn]] void ThrowOutOfMem() { throw coreException("OutOfMem"); }

std::shared_ptr<PropertyBag::Item> NewItem(const std::wstring& name, PropertyBag::ItemType type) {
    auto item = std::make_shared<PropertyBag::Item>();
    item->name = name;
    item->type = type;
    return item;
}

std::wstring TrimBlanks(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return std::wstring();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool CountItems(const PropertyBag& bag, PropertyBag::ElementCount* count, int depth) {
    for (size_t i = 0; i < bag.Count(); ++i) {
        const PropertyBag::Item& item = bag.ItemAt(i);
        const std::wstring& name = item.name;
        count->entries += 1;
        count->characters += name.size();
        switch (item.type) {
        case PropertyBag::ITEM_STRING: count->characters += item.text.size(); break;
        case PropertyBag::ITEM_BINARY: count->binaryBytes += item.binary.size(); break;
        case PropertyBag::ITEM_BAG:
            count->entries += 1;  // the end entry
            if (depth >= PropertyBag::kMaxDepth || !CountItems(item.bag, count, depth + 1)) {
                LogMessage(LOG_ERROR,
                           L"CORE::Properties::getElementCount(): Failed to get element count for submap, name=%s, index=%d",
                           name.c_str(), static_cast<int>(i + 1));
                return false;
            }
            break;
        }
    }
    return true;
}

}  // namespace

bool NamesEqualNoCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) noexcept {
    if (aLength != bLength) return false;
    bool ascii = true;
    for (size_t i = 0; i < aLength; ++i) {
        wchar_t x = a[i], y = b[i];
        if (x == y) continue;
        if (x < 0x80 && y < 0x80) {
            if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x + 32);
            if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y + 32);
            if (x != y) return false;
            continue;
        }
        ascii = false;
        break;
    }
    if (ascii) return true;
    if (aLength > 0x7FFFFFFF) return false;
    return ::CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) == CSTR_EQUAL;
}

size_t PropertyBag::Find(const std::wstring& name) const noexcept {
    for (size_t i = 0; i < items_.size(); ++i)
        if (NamesEqualNoCase(items_[i]->name.data(), items_[i]->name.size(), name.data(), name.size())) return i;
    return static_cast<size_t>(-1);
}

void PropertyBag::Put(std::shared_ptr<const Item> item) {
    try {
        size_t index = Find(item->name);
        if (index == static_cast<size_t>(-1)) {
            items_.push_back(std::move(item));
            return;
        }
        // The item in place may be shared with other bags: swap in a new one that keeps the
        // name as first spelled.
        if (items_[index]->name != item->name) {
            auto renamed = std::make_shared<Item>(*item);
            renamed->name = items_[index]->name;
            item = std::move(renamed);
        }
        items_[index] = std::move(item);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
}

const PropertyBag::Item& PropertyBag::ItemAt(size_t index) const {
    if (index >= items_.size()) throw coreException("PropertyBag: index is out of range");
    return *items_[index];
}

std::wstring PropertyBag::Get(const std::wstring& name, const std::wstring& defaultValue) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->type != ITEM_STRING) return defaultValue;
    return items_[index]->text;
}

std::wstring PropertyBag::GetString(const std::wstring& name) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->type != ITEM_STRING)
        Throw(L"PropertyBag: name '" + name + L"' does not exist as string");
    return items_[index]->text;
}

PropertyBag PropertyBag::GetBag(const std::wstring& name) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->type != ITEM_BAG)
        Throw(L"PropertyBag: name '" + name + L"' does not exist as bag");
    return items_[index]->bag;
}

bool PropertyBag::GetBinary(const std::wstring& name, std::vector<BYTE>* value) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->type != ITEM_BINARY) return false;
    try {
        *value = items_[index]->binary;
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
    return true;
}

bool PropertyBag::Contains(const std::wstring& name) const noexcept { return Find(name) != static_cast<size_t>(-1); }

int PropertyBag::TypeOf(const std::wstring& name) const noexcept {
    size_t index = Find(name);
    return index == static_cast<size_t>(-1) ? -1 : static_cast<int>(items_[index]->type);
}

void PropertyBag::Set(const std::wstring& name, const std::wstring& value) {
    try {
        auto item = NewItem(name, ITEM_STRING);
        item->text = value;
        Put(std::move(item));
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
}

void PropertyBag::SetBinary(const std::wstring& name, const void* data, size_t length) {
    if (length > kMaxBinaryLength) throw coreException("PropertyBag: binary value too large");
    if (length && !data) throw coreException("PropertyBag: binary value missing");
    try {
        auto item = NewItem(name, ITEM_BINARY);
        const BYTE* bytes = static_cast<const BYTE*>(data);
        item->binary.assign(bytes, bytes + length);
        Put(std::move(item));
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
}

void PropertyBag::SetBag(const std::wstring& name, const PropertyBag& bag) {
    try {
        auto item = NewItem(name, ITEM_BAG);
        item->bag = bag;
        Put(std::move(item));
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
}

bool PropertyBag::Remove(const std::wstring& name) {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1)) return false;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

const std::wstring& PropertyBag::GetNameAt(size_t index) const { return ItemAt(index).name; }

PropertyBag::ItemType PropertyBag::GetTypeAt(size_t index) const { return ItemAt(index).type; }

std::wstring PropertyBag::GetStringAt(size_t index) const {
    const Item& item = ItemAt(index);
    if (item.type != ITEM_STRING) throw coreException("PropertyBag: index is not a string");
    return item.text;
}

PropertyBag PropertyBag::GetBagAt(size_t index) const {
    if (index >= items_.size() || items_[index]->type != ITEM_BAG)
        throw coreException("PropertyBag: index is out of range or not a bag");
    return items_[index]->bag;
}

std::vector<BYTE> PropertyBag::GetBinaryAt(size_t index) const {
    const Item& item = ItemAt(index);
    if (item.type != ITEM_BINARY) throw coreException("PropertyBag: index is not binary");
    return item.binary;
}

const std::vector<BYTE>* PropertyBag::BinaryViewAt(size_t index) const {
    const Item& item = ItemAt(index);
    return item.type == ITEM_BINARY ? &item.binary : nullptr;
}

bool PropertyBag::GetElementCount(ElementCount* count) const {
    *count = ElementCount{};
    if (items_.empty()) {
        LogMessage(LOG_DEBUG, L"CORE::PropertyBag::GetElementCount(): No properties available");
        return false;
    }
    return CountItems(*this, count, 0);
}

void PropertyBag::SetError(DWORD code, const std::wstring& text) {
    Clear();
    Set(L"ErrorCode", std::to_wstring(code));
    Set(L"ErrorText", TrimBlanks(text));
}

void PropertyBag::SetErrorText(const std::wstring& text) {
    Clear();
    Set(L"ErrorText", text);
}

DWORD PropertyBag::GetError() const {
    DWORD code = static_cast<DWORD>(ParseUInt(Get(L"ErrorCode"), true));
    if (code == 0 && !Get(L"ErrorText").empty()) return 0xFFFFFFFF;
    return code;
}

std::wstring PropertyBag::GetErrorText(const std::wstring& defaultText) const {
    std::wstring text = Get(L"ErrorText");
    if (!text.empty()) return text;
    DWORD code = static_cast<DWORD>(ParseUInt(Get(L"ErrorCode"), true));
    if (code != 0) {
        wchar_t buffer[64];
        std::swprintf(buffer, 64, L"ErrorCode %u (0x%x)", code, code);
        return buffer;
    }
    return defaultText;
}

std::wstring PropertyBag::GetErrorDescription() const {
    std::wstring text = Get(L"ErrorText");
    DWORD code = static_cast<DWORD>(ParseUInt(Get(L"ErrorCode"), true));
    if (code != 0) {
        if (!text.empty()) text += L" - ";
        wchar_t buffer[64];
        // "%p" of the code as a pointer, spelled out: runtimes differ in the case of its digits.
        std::swprintf(buffer, 64, L"ErrorCode = %u (0x%016llX)", code, static_cast<unsigned long long>(code));
        text += buffer;
    }
    if (text.empty()) return L"Unspecified error";
    return text;
}

bool PropertyBag::Equals(const PropertyBag& other) const {
    if (items_.size() != other.items_.size()) return false;
    for (size_t i = 0; i < items_.size(); ++i) {
        const Item& a = *items_[i];
        const Item& b = *other.items_[i];
        if (a.name != b.name || a.type != b.type) return false;
        switch (a.type) {
        case ITEM_STRING:
            if (a.text != b.text) return false;
            break;
        case ITEM_BINARY:
            if (a.binary != b.binary) return false;
            break;
        case ITEM_BAG:
            if (!a.bag.Equals(b.bag)) return false;
            break;
        }
    }
    return true;
}

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DecodeChar(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c - L'A';
    if (c >= L'a' && c <= L'z') return c - L'a' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'+') return 62;
    if (c == L'/') return 63;
    return -1;
}
}  // namespace

std::wstring Base64Encode(const BYTE* data, size_t length) {
    std::wstring out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 18) & 63]));
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 12) & 63]));
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 6) & 63]));
        out.push_back(static_cast<wchar_t>(kAlphabet[v & 63]));
    }
    if (length - i == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 18) & 63]));
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 12) & 63]));
        out += L"==";
    } else if (length - i == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 18) & 63]));
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 12) & 63]));
        out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 6) & 63]));
        out.push_back(L'=');
    }
    return out;
}

bool Base64Decode(const wchar_t* text, size_t length, std::vector<BYTE>* out) {
    out->clear();
    uint32_t accumulator = 0;
    int bits = 0;
    size_t padding = 0;
    size_t symbols = 0;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = text[i];
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') continue;
        if (c == L'=') {
            ++padding;
            ++symbols;
            continue;
        }
        if (padding) return false;  // data after padding
        int value = DecodeChar(c);
        if (value < 0) return false;
        ++symbols;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<BYTE>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    if (symbols % 4 != 0 || padding > 2) return false;
    // Left-over bits must be zero, so every text has one decoding and one encoding.
    if (accumulator != 0) return false;
    if ((padding == 1 && bits != 2) || (padding == 2 && bits != 4) || (padding == 0 && bits != 0)) return false;
    return true;
}

}  // namespace CORE
