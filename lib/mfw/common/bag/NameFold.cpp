#include "lib/mfw/common/bag/NameFold.h"

#include "lib/mfw/common/bag/PropertyBag.h"

#include <windows.h>

#include <vector>

namespace CORE {
namespace {

// Upper case of every UTF-16 unit above ASCII, built once: one table lookup per character
// keeps comparing and hashing names free of system calls. Surrogates stay as they are.
const std::vector<wchar_t>& UpperTable() {
    static const std::vector<wchar_t> table = [] {
        std::vector<wchar_t> t(0x10000);
        for (size_t c = 0; c < t.size(); ++c) t[c] = static_cast<wchar_t>(c);
        auto map = [&t](size_t first, size_t end) {
            const int length = static_cast<int>(end - first);
            std::vector<wchar_t> upper(static_cast<size_t>(length));
            if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &t[first], length, upper.data(), length,
                                nullptr, nullptr, 0) != length)
                return;  // a table that cannot be built leaves those characters case-sensitive
            for (int i = 0; i < length; ++i) t[first + static_cast<size_t>(i)] = upper[static_cast<size_t>(i)];
        };
        map(0x80, 0xD800);
        map(0xE000, 0x10000);
        return t;
    }();
    return table;
}

}  // namespace

wchar_t FoldNameChar(wchar_t c) noexcept {
    if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    return UpperTable()[c];
}

size_t HashNameNoCase(std::wstring_view name) noexcept {
    // FNV-1a over the folded units.
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : name) {
        hash ^= static_cast<uint16_t>(FoldNameChar(c));
        hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash);
}

bool NameNoCaseEqual::operator()(std::wstring_view a, std::wstring_view b) const noexcept {
    return NamesEqualNoCase(a.data(), a.size(), b.data(), b.size());
}

bool NamesEqualNoCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) noexcept {
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; ++i) {
        if (a[i] != b[i] && FoldNameChar(a[i]) != FoldNameChar(b[i])) return false;
    }
    return true;
}

}  // namespace CORE
