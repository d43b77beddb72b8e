// Watches CoTaskMemFree through COM's malloc spy: every block freed while the watch is
// registered is searched for a text, before the heap gets it back. It can also make
// CoTaskMemAlloc fail.
#pragma once
#include <objbase.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace testsupport {

class CoTaskFreeWatch final : public IMallocSpy {
public:
    explicit CoTaskFreeWatch(std::wstring text) : text_(std::move(text)) { registered_ = ::CoRegisterMallocSpy(this) == S_OK; }
    ~CoTaskFreeWatch() { if (registered_) ::CoRevokeMallocSpy(); }
    bool Registered() const { return registered_; }
    int ReadableFrees() const { return readable_; }
    bool failAllocations = false;  // set by the allocating thread
    // Whether a block of that size, allocated during the watch, is still not freed.
    bool HoldsLiveBlockOf(size_t bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [block, size] : sizes_)
            if (size == bytes) return true;
        return false;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IMallocSpy ? static_cast<IMallocSpy*>(this) : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void*) PreFree(void* block, BOOL) override {
        std::lock_guard<std::mutex> guard(lock_);
        auto sized = sizes_.find(block);
        if (sized == sizes_.end()) return block;  // allocated before the watch
        const size_t bytes = sized->second;
        sizes_.erase(sized);
        const size_t textBytes = text_.size() * sizeof(wchar_t);
        for (size_t at = 0; textBytes && at + textBytes <= bytes; ++at)
            if (std::memcmp(static_cast<BYTE*>(block) + at, text_.data(), textBytes) == 0) {
                ++readable_;
                break;
            }
        return block;
    }
    // Allocation sizes go from PreAlloc to PostAlloc on the allocating thread.
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T bytes) override { return pending_ = bytes; }
    STDMETHODIMP_(void*) PostAlloc(void* block) override {
        if (failAllocations) return nullptr;  // the caller sees an allocation failure (the block leaks)
        std::lock_guard<std::mutex> guard(lock_);
        if (block) sizes_[block] = pending_;
        return block;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T bytes, void** out, BOOL) override {
        std::lock_guard<std::mutex> guard(lock_);
        sizes_.erase(block);
        *out = block;
        return pending_ = bytes;
    }
    STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override { return PostAlloc(block); }
    STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T bytes, BOOL) override { return bytes; }
    STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    std::wstring text_;
    std::mutex lock_;
    std::map<void*, size_t> sizes_;
    static inline thread_local size_t pending_ = 0;
    bool registered_ = false;
    int readable_ = 0;
};

}  // namespace testsupport
