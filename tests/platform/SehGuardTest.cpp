#include "platform/SehGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// A raised exception becomes its code and the rest of the call is skipped; a normal return is 0,
// also after a fault; nested guards report only their own exception; C++ exceptions pass through.
TEST(SehGuard, TurnsStructuredExceptionsIntoTheirCodeOnly) {
    int steps = 0;
    // What Wine raises for a function it only stubs: the DLL and function names as arguments.
    static const char dll[] = "advapi32.dll", function[] = "CredProtectW";
    const ULONG_PTR args[2] = {reinterpret_cast<ULONG_PTR>(dll), reinterpret_cast<ULONG_PTR>(function)};
    EXPECT_EQ(platform::SehGuard([&] { ::RaiseException(0x80000100, EXCEPTION_NONCONTINUABLE, 2, args), ++steps; }),
              0x80000100u);
    EXPECT_EQ(platform::SehGuard([] { *static_cast<volatile int*>(nullptr) = 1; }),
              static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(platform::SehGuard([&] { steps += 10; }), 0u);
    EXPECT_EQ(steps, 10);
    DWORD inner = 1;
    EXPECT_EQ(platform::SehGuard([&] { inner = platform::SehGuard([] { ::RaiseException(0xE0000001, 0, 0, nullptr); }); }),
              0u);
    EXPECT_EQ(inner, 0xE0000001u);
    EXPECT_THROW(platform::SehGuard([] { throw std::runtime_error("c++"); }), std::runtime_error);
}

}  // namespace
