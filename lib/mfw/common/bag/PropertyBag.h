// The ordered, case-insensitive name/value tree that carries every request and answer of the
// message framework, with its error convention ("ErrorCode", "ErrorText") and its XML text form.
// The binary flattened form lives in Properties.h.
#pragma once
#include "lib/mfw/common/util/SecureString.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace CORE {

class PropertyBag {
public:
    enum ItemType { ITEM_STRING = 0, ITEM_BINARY = 1, ITEM_BAG = 2 };
    enum XmlEscape { XML_ESCAPE_FULL = 0, XML_ESCAPE_NONE = 1, XML_ESCAPE_MINIMAL = 2 };

    // Totals that size a flattened bag.
    struct ElementCount {
        uint64_t entries = 0;      // every item, recursively, plus one end entry per sub-bag
        uint64_t characters = 0;   // UTF-16 units of all names and string values
        uint64_t binaryBytes = 0;  // bytes of all binary values
    };

    // Deepest nesting the loaders accept: deeper trees from outside would only serve to
    // exhaust the stack of whoever walks them.
    static constexpr int kMaxDepth = 64;
    // Binary values are counted in 31 bits on the wire.
    static constexpr size_t kMaxBinaryLength = 0x7FFFFFFF;

    PropertyBag() noexcept = default;
    // Copies share the items; a change to one bag never shows in another.
    PropertyBag(const PropertyBag&) = default;
    PropertyBag& operator=(const PropertyBag&) = default;
    PropertyBag(PropertyBag&&) noexcept = default;
    PropertyBag& operator=(PropertyBag&&) noexcept = default;
    ~PropertyBag() = default;

    // --- By name ---
    // The string value, or `defaultValue` when there is no such item or it is not a string.
    std::wstring Get(const std::wstring& name, const std::wstring& defaultValue = std::wstring()) const;
    // Get for a secret: the value goes straight into a wiping string, with no plain copy.
    SecureWString GetSecret(const std::wstring& name) const;
    // Throws coreException "PropertyBag: name '<name>' does not exist as string".
    std::wstring GetString(const std::wstring& name) const;
    // Throws coreException "PropertyBag: name '<name>' does not exist as bag".
    PropertyBag GetBag(const std::wstring& name) const;
    // False when there is no binary item of that name.
    bool GetBinary(const std::wstring& name, std::vector<BYTE>* value) const;
    bool Contains(const std::wstring& name) const noexcept;
    // -1 when absent.
    int TypeOf(const std::wstring& name) const noexcept;

    // Add or replace (in place, keeping the position and the first spelling of the name).
    void Set(const std::wstring& name, const std::wstring& value);
    // Set for a secret, without a plain copy on the way.
    void SetSecret(const std::wstring& name, const SecureWString& value);
    void SetBinary(const std::wstring& name, const void* data, size_t length);
    void SetBag(const std::wstring& name, const PropertyBag& bag);
    bool Remove(const std::wstring& name);
    void Clear() noexcept {
        items_.clear();
        index_.clear();
    }

    // --- By index (0-based, in order); out of range throws "PropertyBag: index is out of range" ---
    size_t Count() const noexcept { return items_.size(); }
    bool IsEmpty() const noexcept { return items_.empty(); }
    std::wstring GetNameAt(size_t index) const;
    ItemType GetTypeAt(size_t index) const;
    // Also throws "PropertyBag: index is not a string" for a sub-bag or binary item.
    std::wstring GetStringAt(size_t index) const;
    // Throws "PropertyBag: index is out of range or not a bag".
    PropertyBag GetBagAt(size_t index) const;
    // Throws "PropertyBag: index is not binary" for other items.
    std::vector<BYTE> GetBinaryAt(size_t index) const;
    // Byte view of a binary item (valid while the bag holds the item); null for other items.
    const std::vector<BYTE>* BinaryViewAt(size_t index) const;

    class Item;
    // The item itself, without copying its value; throws like the other by-index accessors.
    const Item& ItemAt(size_t index) const;
    // Adds or replaces with an item made elsewhere (the loaders), taking over its reference.
    void PutItem(Item* item);
    void Reserve(size_t count) { items_.reserve(count); }

    // Totals of the flattened form; false (logged) for an empty bag.
    bool GetElementCount(ElementCount* count) const;

    // --- Error convention ---
    void SetError(DWORD code, const std::wstring& text);
    void SetErrorText(const std::wstring& text);
    // 0 no error; 0xFFFFFFFF when only a text is set; else the code.
    DWORD GetError() const;
    std::wstring GetErrorText(const std::wstring& defaultText) const;
    std::wstring GetErrorDescription() const;

    // --- XML text form ---
    std::wstring ToXml(int escapeMode = XML_ESCAPE_FULL) const;
    // Replaces the content; on failure logs the reason with its position and leaves the bag empty.
    bool FromXml(std::wstring_view text);

    // Same names (exact spelling), order, types and values, recursively.
    bool Equals(const PropertyBag& other) const;

    // A counted reference to an item (copying a bag copies these).
    class ItemRef {
    public:
        ItemRef() noexcept = default;
        explicit ItemRef(Item* adopted) noexcept : item_(adopted) {}
        ItemRef(const ItemRef& other) noexcept;
        ItemRef(ItemRef&& other) noexcept : item_(other.item_) { other.item_ = nullptr; }
        ItemRef& operator=(ItemRef other) noexcept {
            std::swap(item_, other.item_);
            return *this;
        }
        ~ItemRef();
        const Item* operator->() const noexcept { return item_; }
        const Item& operator*() const noexcept { return *item_; }

    private:
        Item* item_ = nullptr;
    };

private:
    size_t Find(std::wstring_view name) const noexcept;
    void Put(ItemRef item);
    void ToXmlItems(std::wstring& out, int mode) const;

    void RebuildIndex() noexcept;
    void IndexLast() noexcept;

    // Bags larger than this also keep a name index, so that loading or probing a large bag (a
    // message from outside may hold a million names) is not quadratic.
    static constexpr size_t kIndexFrom = 16;

    std::vector<ItemRef> items_;
    // Open addressing over HashNameNoCase: 0 is a free slot, else the item's position + 1;
    // at most half full. Either empty (names are searched in order) or complete.
    std::vector<uint32_t> index_;
};

// One item, immutable once it is in a bag, so bags that share it may live on different
// threads (its count is atomic). Name and string value live in the item's own allocation:
// one allocation per item keeps loading a bag cheap.
class PropertyBag::Item {
public:
    // A new item with a count of one; throws coreException "OutOfMem".
    static Item* Create(ItemType type, std::wstring_view name, std::wstring_view text = std::wstring_view());
    // The same with the characters left for the caller to fill: name, then text, at *chars.
    static Item* CreateUnfilled(ItemType type, size_t nameLength, size_t textLength, wchar_t** chars);

    ItemType Type() const noexcept { return type_; }
    std::wstring_view Name() const noexcept { return std::wstring_view(Chars(), nameLength_); }
    std::wstring_view Text() const noexcept { return std::wstring_view(Chars() + nameLength_, textLength_); }
    const std::vector<BYTE>& Binary() const noexcept { return binary_; }
    const PropertyBag& Bag() const noexcept { return bag_; }

    void AddRef() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() const noexcept;

    std::vector<BYTE> binary_;
    PropertyBag bag_;

private:
    Item(ItemType type, size_t nameLength, size_t textLength) noexcept
        : type_(type), nameLength_(nameLength), textLength_(textLength) {}
    ~Item() = default;
    const wchar_t* Chars() const noexcept { return reinterpret_cast<const wchar_t*>(this + 1); }
    wchar_t* Chars() noexcept { return reinterpret_cast<wchar_t*>(this + 1); }

    mutable std::atomic<long> refs_{1};
    ItemType type_;
    size_t nameLength_;
    size_t textLength_;
};

inline PropertyBag::ItemRef::ItemRef(const ItemRef& other) noexcept : item_(other.item_) {
    if (item_) item_->AddRef();
}
inline PropertyBag::ItemRef::~ItemRef() {
    if (item_) item_->Release();
}

// Names compare ignoring case; lengths must be equal.
bool NamesEqualNoCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) noexcept;

// Standard Base64 (A-Z a-z 0-9 + /, '=' padding).
std::wstring Base64Encode(const BYTE* data, size_t length);
// Ignores white space; false on any other character outside the alphabet or bad padding.
bool Base64Decode(const wchar_t* text, size_t length, std::vector<BYTE>* out);

}  // namespace CORE
