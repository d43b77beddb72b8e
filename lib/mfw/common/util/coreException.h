// The one exception type of the platform library: a text ("OutOfMem", "Array bounds", ...)
// and an optional system error code. COM entry points catch it and return an HRESULT.
#pragma once
#include <windows.h>

#include <exception>
#include <string>

namespace CORE {

class coreException : public std::exception {
public:
    explicit coreException(const char* text, DWORD code = 0) : text_(text ? text : ""), code_(code) {}
    const char* what() const noexcept override { return text_.c_str(); }
    DWORD code() const noexcept { return code_; }

private:
    std::string text_;
    DWORD code_;
};

// The HRESULT that a COM boundary returns for the exception being handled; call it only
// inside a catch block.
HRESULT ResultFromCaughtException() noexcept;

}  // namespace CORE
