// The one case rule of bag names: two names are the same when they are equal after each UTF-16
// unit is upper-cased by the invariant table. Equality and hashing both use it, so a name index
// can never disagree with a name comparison.
#pragma once
#include <cstddef>
#include <string_view>

namespace CORE {

wchar_t FoldNameChar(wchar_t c) noexcept;
size_t HashNameNoCase(std::wstring_view name) noexcept;

struct NameNoCaseHash {
    size_t operator()(std::wstring_view name) const noexcept { return HashNameNoCase(name); }
};
struct NameNoCaseEqual {
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept;
};

}  // namespace CORE
