// One RAII wrapper per handle kind: the resource goes into its wrapper the moment it is
// acquired, and logic code never closes or frees by hand.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <utility>

namespace platform {

// Traits: `type`, `empty()` (the value that means "nothing held") and `close(type)`.
template <typename Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

    unique_any() noexcept : value_(Traits::empty()) {}
    explicit unique_any(pointer value) noexcept : value_(value) {}
    ~unique_any() { reset(); }

    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    pointer get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::empty(); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept {
        pointer value = value_;
        value_ = Traits::empty();
        return value;
    }
    void reset(pointer value = Traits::empty()) noexcept {
        if (valid()) Traits::close(value_);
        value_ = value;
    }
    // For out-parameters: frees what is held, then hands out the slot.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_;
};

#define TC_DEFINE_UNIQUE(alias, Type, emptyValue, closeExpr)                     \
    struct alias##_traits {                                                     \
        using type = Type;                                                      \
        static type empty() noexcept { return emptyValue; }                     \
        static void close(type value) noexcept { closeExpr; }                   \
    };                                                                          \
    using alias = unique_any<alias##_traits>

TC_DEFINE_UNIQUE(unique_handle, HANDLE, nullptr, ::CloseHandle(value));
TC_DEFINE_UNIQUE(unique_hfile, HANDLE, INVALID_HANDLE_VALUE, ::CloseHandle(value));
TC_DEFINE_UNIQUE(unique_hkey, HKEY, nullptr, ::RegCloseKey(value));
TC_DEFINE_UNIQUE(unique_hmodule, HMODULE, nullptr, ::FreeLibrary(value));
TC_DEFINE_UNIQUE(unique_cotaskmem, void*, nullptr, ::CoTaskMemFree(value));
TC_DEFINE_UNIQUE(unique_hlocal, HLOCAL, nullptr, ::LocalFree(value));
TC_DEFINE_UNIQUE(unique_hwnd, HWND, nullptr, ::DestroyWindow(value));
TC_DEFINE_UNIQUE(unique_view, void*, nullptr, ::UnmapViewOfFile(value));

// CoTaskMemAlloc block of a given type; release() hands ownership to the caller (LogonUI).
template <typename T>
class unique_cotask {
public:
    unique_cotask() noexcept = default;
    explicit unique_cotask(T* p) noexcept : mem_(p) {}
    static unique_cotask alloc(size_t bytes) noexcept {
        return unique_cotask(static_cast<T*>(::CoTaskMemAlloc(bytes)));
    }
    T* get() const noexcept { return static_cast<T*>(mem_.get()); }
    T* operator->() const noexcept { return get(); }
    explicit operator bool() const noexcept { return mem_.valid(); }
    T* release() noexcept { return static_cast<T*>(mem_.release()); }

private:
    unique_cotaskmem mem_;
};

// Reference-counted COM pointer.
template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Takes one new reference.
    explicit com_ptr(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.p_) {}
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~com_ptr() { reset(); }

    // Adopts a reference the caller already owns.
    static com_ptr attach(T* p) noexcept {
        com_ptr result;
        result.p_ = p;
        return result;
    }
    void reset() noexcept {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

}  // namespace platform
