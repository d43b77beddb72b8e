#include "lib/mfw/common/util/TextRules.h"

#include <cwchar>
#include <cwctype>

namespace CORE {

bool ParseBool(const std::wstring& text) {
    if (_wcsicmp(text.c_str(), L"true") == 0 || _wcsicmp(text.c_str(), L"yes") == 0 || _wcsicmp(text.c_str(), L"on") == 0) return true;
    return std::wcstoll(text.c_str(), nullptr, 0) != 0;
}

std::wstring NormalizeNumber(const std::wstring& text) {
    auto isSpace = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    std::wstring result;
    size_t i = begin;
    if (i < end && (text[i] == L'+' || text[i] == L'-')) result.push_back(text[i++]);
    // Only the zeros that lead the digits go; inner zeros are part of the number.
    while (i + 1 < end && text[i] == L'0' && std::iswdigit(text[i + 1])) ++i;
    result.append(text, i, end - i);
    return result;
}

long ParseInt(const std::wstring& text, bool normalize) {
    return normalize ? std::wcstol(NormalizeNumber(text).c_str(), nullptr, 0) : std::wcstol(text.c_str(), nullptr, 0);
}

unsigned long ParseUInt(const std::wstring& text, bool normalize) {
    return normalize ? std::wcstoul(NormalizeNumber(text).c_str(), nullptr, 0)
                     : std::wcstoul(text.c_str(), nullptr, 0);
}

std::vector<std::wstring> SplitConfigList(const std::wstring& text) {
    std::vector<std::wstring> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L',', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring item = text.substr(start, end - start);
        size_t first = item.find_first_not_of(L" \t");
        size_t last = item.find_last_not_of(L" \t");
        if (first != std::wstring::npos) items.push_back(item.substr(first, last - first + 1));
        start = end + 1;
    }
    return items;
}

}  // namespace CORE
