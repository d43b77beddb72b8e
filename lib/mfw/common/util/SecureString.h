// A wide string for secrets (passwords, PINs, tickets): every buffer it ever used is overwritten
// with zeros before it is released or reused, including the small-string buffer inside the
// object and the source of a move.
#pragma once
#include <windows.h>

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace CORE {

template <typename T>
struct ZeroingAllocator {
    using value_type = T;
    ZeroingAllocator() noexcept = default;
    template <typename U>
    ZeroingAllocator(const ZeroingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept {
        ::SecureZeroMemory(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const ZeroingAllocator<U>&) const noexcept { return true; }
};

class SecureWString {
public:
    using Storage = std::basic_string<wchar_t, std::char_traits<wchar_t>, ZeroingAllocator<wchar_t>>;

    SecureWString() = default;
    explicit SecureWString(std::wstring_view text) : text_(text.data(), text.size()) {}
    SecureWString(const wchar_t* text, size_t length) : text_(text, length) {}
    SecureWString(const SecureWString& other) : text_(other.text_) {}
    SecureWString(SecureWString&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
    SecureWString& operator=(const SecureWString& other) {
        if (this != &other) {
            Wipe();
            text_ = other.text_;
        }
        return *this;
    }
    SecureWString& operator=(SecureWString&& other) noexcept {
        if (this != &other) {
            Wipe();
            text_ = std::move(other.text_);
            other.Wipe();
        }
        return *this;
    }
    SecureWString& operator=(std::wstring_view text) {
        Wipe();
        text_.assign(text.data(), text.size());
        return *this;
    }
    ~SecureWString() { Wipe(); }

    // Overwrites the characters (and the rest of the buffer) and empties the string.
    void Wipe() noexcept {
        ::SecureZeroMemory(text_.data(), (text_.capacity() + 1) * sizeof(wchar_t));
        text_.clear();
    }

    const wchar_t* c_str() const noexcept { return text_.c_str(); }
    const wchar_t* data() const noexcept { return text_.data(); }
    wchar_t* data() noexcept { return text_.data(); }
    size_t size() const noexcept { return text_.size(); }
    size_t length() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }
    std::wstring_view view() const noexcept { return std::wstring_view(text_.data(), text_.size()); }
    void resize(size_t length) {
        Reserve(length);
        text_.resize(length);
    }
    void append(std::wstring_view text) {
        Reserve(text_.size() + text.size());
        text_.append(text.data(), text.size());
    }
    bool operator==(std::wstring_view other) const noexcept { return view() == other; }

private:
    // Grows into a new buffer and wipes the old one, also when the old one is the buffer
    // inside the object, which the allocator never sees.
    void Reserve(size_t capacity) {
        if (capacity <= text_.capacity()) return;
        Storage bigger;
        bigger.reserve(capacity);
        bigger.append(text_);
        Wipe();
        text_ = std::move(bigger);
    }

    Storage text_;
};

}  // namespace CORE
