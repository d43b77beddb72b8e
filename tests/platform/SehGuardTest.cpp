#include "platform/SehGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(SehGuard, ReturnsZeroWhenTheCallReturns) {
    int calls = 0;
    EXPECT_EQ(platform::SehGuard([&] { ++calls; }), 0u);
    EXPECT_EQ(calls, 1);
}

TEST(SehGuard, TurnsARaisedExceptionIntoItsCode) {
    bool after = false;
    DWORD code = platform::SehGuard([&] {
        // What Wine raises for a function it only stubs: the DLL and function names as arguments.
        static const char dll[] = "advapi32.dll";
        static const char function[] = "CredProtectW";
        const ULONG_PTR args[2] = {reinterpret_cast<ULONG_PTR>(dll), reinterpret_cast<ULONG_PTR>(function)};
        ::RaiseException(0x80000100, EXCEPTION_NONCONTINUABLE, 2, args);
        after = true;
    });
    EXPECT_EQ(code, 0x80000100u);
    EXPECT_FALSE(after);
}

TEST(SehGuard, CatchesAccessViolationsAndStaysUsable) {
    DWORD code = platform::SehGuard([] {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    });
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    // A later guarded call that returns normally reports success, not the old code.
    EXPECT_EQ(platform::SehGuard([] {}), 0u);
}

TEST(SehGuard, NestedGuardsReportOnlyTheirOwnException) {
    DWORD inner = 1;
    DWORD outer = platform::SehGuard([&] { inner = platform::SehGuard([] { ::RaiseException(0xE0000001, 0, 0, nullptr); }); });
    EXPECT_EQ(inner, 0xE0000001u);
    EXPECT_EQ(outer, 0u);
}

TEST(SehGuard, LetsCppExceptionsPassThrough) {
    EXPECT_THROW(platform::SehGuard([] { throw std::runtime_error("c++"); }), std::runtime_error);
}

}  // namespace
