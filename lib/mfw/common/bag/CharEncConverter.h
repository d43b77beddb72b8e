// Character encodings of the wire: UTF-16 strings of the library to and from the encoding a
// peer agreed on (UTF-8, or UTF-16 copied as it is in memory), written into and read from
// bounded buffers.
#pragma once
#include "lib/mfw/common/bag/ByteData.h"

#include <string>

namespace CORE {

enum CharEncoding : int {
    CHAR_ENC_UNDEFINED = 0,  // also the plain form: UTF-16 characters copied as they are
    CHAR_ENC_UTF8 = 1,
    CHAR_ENC_UTF16 = 2,
};

// "Undefined", "Utf8", "Utf16" or "Unrecognized".
const wchar_t* CharEncodingName(int code) noexcept;

class CharEncConverter {
public:
    // Appends `length` characters of `text` in the encoding to `out`; `units` receives the
    // length on the wire (bytes for Utf8, characters for Utf16). An empty text writes nothing.
    static bool ConvertFromUtf16(int code, const wchar_t* text, size_t length, ByteData& out, size_t* units) noexcept;
    // Reads a string of `units` (bytes for Utf8, characters for Utf16) from `in`.
    static bool ConvertToUtf16(int code, ByteData& in, size_t units, std::wstring* out) noexcept;
};

}  // namespace CORE
