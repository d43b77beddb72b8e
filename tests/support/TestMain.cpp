// Test entry point: a crash ends the test process with a message instead of starting Wine's
// debugger, so a faulty test fails fast.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

namespace {
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
    DWORD code = pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
    void* address = pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionAddress : nullptr;
    std::fprintf(stderr, "\n*** unhandled exception 0x%08lX at %p\n", static_cast<unsigned long>(code), address);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 0xC0DE);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

int main(int argc, char** argv) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(&ReportCrash);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
