#include "lib/mfw/common/bag/CharEncConverter.h"

#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/util/LogSink.h"

#include <climits>
#include <cstring>

namespace CORE {

const wchar_t* CharEncodingName(int code) noexcept {
    switch (code) {
    case CHAR_ENC_UNDEFINED: return L"Undefined";
    case CHAR_ENC_UTF8: return L"Utf8";
    case CHAR_ENC_UTF16: return L"Utf16";
    default: return L"Unrecognized";
    }
}

bool CharEncConverter::ConvertFromUtf16(int code, const wchar_t* text, size_t length, ByteData& out,
                                        size_t* units) noexcept {
    *units = 0;
    if (code != CHAR_ENC_UTF8 && code != CHAR_ENC_UTF16) {
        LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertFromUtf16(): Unsupported conversion code=%d", code);
        return false;
    }
    if (length == 0) return true;
    if (!text) return false;
    if (code == CHAR_ENC_UTF16) {
        if (length > SIZE_MAX / sizeof(wchar_t)) return false;
        if (!out.Write(text, length * sizeof(wchar_t))) return false;
        *units = length;
        return true;
    }
    if (length > static_cast<size_t>(INT_MAX)) {
        LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertFromUtf16(): Failed to convert(UTF16 to UTF8), Error=%s",
                   SystemErrorText(ERROR_ARITHMETIC_OVERFLOW).c_str());
        return false;
    }
    // Most wire text is ASCII: copy it without the conversion call, and stop copying at the
    // first character that is not.
    if (length <= out.Remaining() && out.CurrentWritable()) {
        BYTE* target = out.CurrentWritable();
        size_t i = 0;
        for (; i < length && text[i] < 0x80; ++i) target[i] = static_cast<BYTE>(text[i]);
        if (i == length) {
            out.Advance(length);
            *units = length;
            return true;
        }
    }
    size_t room = out.Remaining();
    int roomInt = room > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(room);
    int written = 0;
    if (out.CurrentWritable() && roomInt > 0)
        written = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                        reinterpret_cast<char*>(out.CurrentWritable()), roomInt, nullptr, nullptr);
    else
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    if (written <= 0) {
        LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertFromUtf16(): Failed to convert(UTF16 to UTF8), Error=%s",
                   SystemErrorText(::GetLastError()).c_str());
        return false;
    }
    out.Advance(static_cast<size_t>(written));
    *units = static_cast<size_t>(written);
    return true;
}

namespace {

// UTF-16 text is copied as it is; may throw when out cannot grow.
bool ReadUtf16(ByteData& in, size_t units, std::wstring* out) {
    if (units == 0) return true;
    if (units > in.Remaining() / sizeof(wchar_t)) {
        LogToSink(LOG_ERROR,
                   L"CORE::CharEncConverter::ConvertToUtf16(): Not enough bytes left to read from(Utf16 to Utf16), found=%ld, need=%ld",
                   static_cast<long>(in.Remaining()), static_cast<long>(units * sizeof(wchar_t)));
        return false;
    }
    const BYTE* data = nullptr;
    if (!in.Take(units * sizeof(wchar_t), &data)) return false;
    out->resize(units);
    std::memcpy(out->data(), data, units * sizeof(wchar_t));
    return true;
}

}  // namespace

bool CharEncConverter::ConvertToUtf16(int code, ByteData& in, size_t units, std::wstring* out) noexcept {
    try {
        out->clear();
        if (code == CHAR_ENC_UTF16) return ReadUtf16(in, units, out);
        if (code != CHAR_ENC_UTF8) {
            LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertToUtf16(): Unsupported encoding code=%d", code);
            return false;
        }
        if (units == 0) return true;
        if (units > in.Remaining()) {
            LogToSink(LOG_ERROR,
                       L"CORE::CharEncConverter::ConvertToUtf16(): Not enough bytes left to read from(Utf8 to Utf16), found=%ld, need=%ld",
                       static_cast<long>(in.Remaining()), static_cast<long>(units));
            return false;
        }
        if (units > static_cast<size_t>(INT_MAX)) return false;
        const char* source = reinterpret_cast<const char*>(in.Current());
        bool ascii = true;
        for (size_t i = 0; i < units && ascii; ++i) ascii = static_cast<unsigned char>(source[i]) < 0x80;
        if (ascii) {
            out->resize(units);
            for (size_t i = 0; i < units; ++i) (*out)[i] = static_cast<wchar_t>(static_cast<unsigned char>(source[i]));
            in.Skip(units);
            return true;
        }
        // Invalid sequences are refused rather than replaced, so what loads flattens back unchanged.
        int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, source, static_cast<int>(units), nullptr, 0);
        if (needed <= 0) {
            LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertToUtf16(): Failed to calculate byte count(UTF8 to UTF16), Error=%s",
                       SystemErrorText(::GetLastError()).c_str());
            return false;
        }
        out->resize(static_cast<size_t>(needed));
        int converted = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, source, static_cast<int>(units),
                                              out->data(), needed);
        if (converted != needed) {
            LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertToUtf16(): Failed to convert(UTF8 to UTF16) Error=%s",
                       SystemErrorText(::GetLastError()).c_str());
            out->clear();
            return false;
        }
        in.Skip(units);
        return true;
    } catch (...) {
        out->clear();
        return false;
    }
}

}  // namespace CORE
