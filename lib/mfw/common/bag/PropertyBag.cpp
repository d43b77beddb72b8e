#include "lib/mfw/common/bag/PropertyBag.h"

#include "lib/mfw/common/bag/NameFold.h"
#include "lib/mfw/common/util/LogSink.h"
#include "lib/mfw/common/util/TextRules.h"
#include "lib/mfw/common/util/coreException.h"

#include <cstdint>
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
        count->entries += 1;
        count->characters += item.Name().size();
        switch (item.Type()) {
        case PropertyBag::ITEM_STRING: count->characters += item.Text().size(); break;
        case PropertyBag::ITEM_BINARY: count->binaryBytes += item.Binary().size(); break;
        case PropertyBag::ITEM_BAG:
            count->entries += 1;  // the end entry
            if (depth >= PropertyBag::kMaxDepth || !CountItems(item.Bag(), count, depth + 1)) {
                LogToSink(LOG_ERROR,
                           L"CORE::Properties::getElementCount(): Failed to get element count for submap, name=%s, index=%d",
                           std::wstring(item.Name()).c_str(), static_cast<int>(i + 1));
                return false;
            }
            break;
        }
    }
    return true;
}

}  // namespace

PropertyBag::Item* PropertyBag::Item::Create(ItemType type, std::wstring_view name, std::wstring_view text) {
    const size_t chars = name.size() + text.size();
    if (chars > (SIZE_MAX - sizeof(Item)) / sizeof(wchar_t)) throw coreException("OutOfMem");
    void* memory = ::operator new(sizeof(Item) + chars * sizeof(wchar_t), std::nothrow);
    if (!memory) throw coreException("OutOfMem");
    Item* item = new (memory) Item(type, name.size(), text.size());
    if (!name.empty()) std::wmemcpy(item->Chars(), name.data(), name.size());
    if (!text.empty()) std::wmemcpy(item->Chars() + name.size(), text.data(), text.size());
    return item;
}

PropertyBag::Item* PropertyBag::Item::CreateUnfilled(ItemType type, size_t nameLength, size_t textLength, wchar_t** chars) {
    if (nameLength > (SIZE_MAX - sizeof(Item)) / sizeof(wchar_t) - textLength) throw coreException("OutOfMem");
    void* memory = ::operator new(sizeof(Item) + (nameLength + textLength) * sizeof(wchar_t), std::nothrow);
    if (!memory) throw coreException("OutOfMem");
    Item* item = new (memory) Item(type, nameLength, textLength);
    *chars = item->Chars();
    return item;
}

void PropertyBag::Item::Release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Item* self = const_cast<Item*>(this);
    // Any item may hold a secret (a ticket, a protected password): none goes back to the heap readable.
    ::SecureZeroMemory(self->Chars(), (nameLength_ + textLength_) * sizeof(wchar_t));
    if (!self->binary_.empty()) ::SecureZeroMemory(self->binary_.data(), self->binary_.size());
    self->~Item();
    ::operator delete(self);
}

size_t PropertyBag::Find(std::wstring_view name) const noexcept {
    if (!index_.empty()) {
        const size_t mask = index_.size() - 1;
        for (size_t slot = HashNameNoCase(name) & mask;; slot = (slot + 1) & mask) {
            const uint32_t entry = index_[slot];
            if (entry == 0) return static_cast<size_t>(-1);
            std::wstring_view candidate = items_[entry - 1]->Name();
            if (NamesEqualNoCase(candidate.data(), candidate.size(), name.data(), name.size())) return entry - 1;
        }
    }
    for (size_t i = 0; i < items_.size(); ++i) {
        std::wstring_view candidate = items_[i]->Name();
        if (NamesEqualNoCase(candidate.data(), candidate.size(), name.data(), name.size())) return i;
    }
    return static_cast<size_t>(-1);
}

void PropertyBag::RebuildIndex() noexcept {
    index_.clear();
    if (items_.size() <= kIndexFrom || items_.size() >= 0x40000000) return;
    size_t slots = 64;
    while (slots < items_.size() * 4) slots *= 2;
    try {
        std::vector<uint32_t> index(slots);
        for (size_t i = 0; i < items_.size(); ++i) {
            size_t slot = HashNameNoCase(items_[i]->Name()) & (slots - 1);
            while (index[slot] != 0) slot = (slot + 1) & (slots - 1);
            index[slot] = static_cast<uint32_t>(i + 1);
        }
        index_.swap(index);
    } catch (const std::bad_alloc&) {
        // Without memory for the index the bag still works, searching in order.
    }
}

void PropertyBag::IndexLast() noexcept {
    if (index_.empty() || items_.size() * 2 > index_.size()) {
        RebuildIndex();
        return;
    }
    const size_t mask = index_.size() - 1;
    size_t slot = HashNameNoCase(items_.back()->Name()) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(items_.size());
}

void PropertyBag::Put(ItemRef item) {
    size_t index = Find(item->Name());
    try {
        if (index == static_cast<size_t>(-1)) {
            items_.push_back(std::move(item));
            IndexLast();
            return;
        }
        // The item in place may be shared with other bags: swap in a new one that keeps the
        // name as first spelled (so its index slot stays right).
        if (items_[index]->Name() != item->Name()) {
            ItemRef renamed(Item::Create(item->Type(), items_[index]->Name(), item->Text()));
            const_cast<Item&>(*renamed).binary_ = item->Binary();
            const_cast<Item&>(*renamed).bag_ = item->Bag();
            item = std::move(renamed);
        }
        items_[index] = std::move(item);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
}

void PropertyBag::PutItem(Item* item) { Put(ItemRef(item)); }

const PropertyBag::Item& PropertyBag::ItemAt(size_t index) const {
    if (index >= items_.size()) throw coreException("PropertyBag: index is out of range");
    return *items_[index];
}

std::wstring PropertyBag::Get(const std::wstring& name, const std::wstring& defaultValue) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->Type() != ITEM_STRING) return defaultValue;
    return std::wstring(items_[index]->Text());
}

void PropertyBag::SetSecret(const std::wstring& name, const SecureWString& value) {
    Put(ItemRef(Item::Create(ITEM_STRING, name, value.view())));
}

SecureWString PropertyBag::GetSecret(const std::wstring& name) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->Type() != ITEM_STRING) return SecureWString();
    return SecureWString(items_[index]->Text());
}

std::wstring PropertyBag::GetString(const std::wstring& name) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->Type() != ITEM_STRING)
        Throw(L"PropertyBag: name '" + name + L"' does not exist as string");
    return std::wstring(items_[index]->Text());
}

PropertyBag PropertyBag::GetBag(const std::wstring& name) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->Type() != ITEM_BAG)
        Throw(L"PropertyBag: name '" + name + L"' does not exist as bag");
    return items_[index]->Bag();
}

bool PropertyBag::GetBinary(const std::wstring& name, std::vector<BYTE>* value) const {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1) || items_[index]->Type() != ITEM_BINARY) return false;
    try {
        *value = items_[index]->Binary();
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
    return true;
}

bool PropertyBag::Contains(const std::wstring& name) const noexcept { return Find(name) != static_cast<size_t>(-1); }

int PropertyBag::TypeOf(const std::wstring& name) const noexcept {
    size_t index = Find(name);
    return index == static_cast<size_t>(-1) ? -1 : static_cast<int>(items_[index]->Type());
}

void PropertyBag::Set(const std::wstring& name, const std::wstring& value) {
    Put(ItemRef(Item::Create(ITEM_STRING, name, value)));
}

void PropertyBag::SetBinary(const std::wstring& name, const void* data, size_t length) {
    if (length > kMaxBinaryLength) throw coreException("PropertyBag: binary value too large");
    if (length && !data) throw coreException("PropertyBag: binary value missing");
    ItemRef item(Item::Create(ITEM_BINARY, name));
    try {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        const_cast<Item&>(*item).binary_.assign(bytes, bytes + length);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMem();
    }
    Put(std::move(item));
}

void PropertyBag::SetBag(const std::wstring& name, const PropertyBag& bag) {
    ItemRef item(Item::Create(ITEM_BAG, name));
    const_cast<Item&>(*item).bag_ = bag;
    Put(std::move(item));
}

bool PropertyBag::Remove(const std::wstring& name) {
    size_t index = Find(name);
    if (index == static_cast<size_t>(-1)) return false;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    RebuildIndex();
    return true;
}

std::wstring PropertyBag::GetNameAt(size_t index) const { return std::wstring(ItemAt(index).Name()); }

PropertyBag::ItemType PropertyBag::GetTypeAt(size_t index) const { return ItemAt(index).Type(); }

std::wstring PropertyBag::GetStringAt(size_t index) const {
    const Item& item = ItemAt(index);
    if (item.Type() != ITEM_STRING) throw coreException("PropertyBag: index is not a string");
    return std::wstring(item.Text());
}

PropertyBag PropertyBag::GetBagAt(size_t index) const {
    if (index >= items_.size() || items_[index]->Type() != ITEM_BAG)
        throw coreException("PropertyBag: index is out of range or not a bag");
    return items_[index]->Bag();
}

std::vector<BYTE> PropertyBag::GetBinaryAt(size_t index) const {
    const Item& item = ItemAt(index);
    if (item.Type() != ITEM_BINARY) throw coreException("PropertyBag: index is not binary");
    return item.Binary();
}

const std::vector<BYTE>* PropertyBag::BinaryViewAt(size_t index) const {
    const Item& item = ItemAt(index);
    return item.Type() == ITEM_BINARY ? &item.Binary() : nullptr;
}

bool PropertyBag::GetElementCount(ElementCount* count) const {
    *count = ElementCount{};
    if (items_.empty()) {
        LogToSink(LOG_DEBUG, L"CORE::PropertyBag::GetElementCount(): No properties available");
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
        if (a.Name() != b.Name() || a.Type() != b.Type()) return false;
        switch (a.Type()) {
        case ITEM_STRING:
            if (a.Text() != b.Text()) return false;
            break;
        case ITEM_BINARY:
            if (a.Binary() != b.Binary()) return false;
            break;
        case ITEM_BAG:
            if (!a.Bag().Equals(b.Bag())) return false;
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
