// The text rules every setting and message field is read with: text to bool, text to
// number, comma lists.
#pragma once
#include <string>
#include <vector>

namespace CORE {

// "true", "yes", "on" in any case, or a text that parses as a non-zero number.
bool ParseBool(const std::wstring& text);
// Trims space, tab, CR and LF at both ends and drops leading zeros after an optional sign
// ("0045000" -> "45000", "08" -> "8", "0x1F" unchanged, "0" unchanged).
std::wstring NormalizeNumber(const std::wstring& text);
// wcstol / wcstoul with base 0 (decimal, 0x hexadecimal, leading-zero octal).
long ParseInt(const std::wstring& text, bool normalize);
unsigned long ParseUInt(const std::wstring& text, bool normalize);
// The items of a comma-separated setting ("Negotiate, Kerberos"), trimmed of space and tab;
// empty items are dropped.
std::vector<std::wstring> SplitConfigList(const std::wstring& text);

}  // namespace CORE
