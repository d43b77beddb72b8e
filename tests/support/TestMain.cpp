// Test entry point: a crash ends the test process with a message instead of starting Wine's
// debugger, so a faulty test fails fast.
#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/threads/coretimer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

namespace {
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    std::fprintf(stderr, "\n*** unhandled exception 0x%08lX at %p\n", record ? record->ExceptionCode : 0ul,
                 record ? record->ExceptionAddress : nullptr);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 0xC0DE);
    return EXCEPTION_EXECUTE_HANDLER;
}
// Ends every test program the way module teardown ends the library (framework shut down,
// timer thread stopped, library threads waited for, log written), so Wine never has to cut a
// busy thread off at process exit.
class LibraryTeardown : public testing::Environment {
public:
    void TearDown() override {
        CORE::MessageFrameWork::GetFrameWork()->Shutdown();
        CORE::ShutdownTimerService();
        CORE::WaitForLibraryThreads(15000);
        CORE::FlushLog();
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(&ReportCrash);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new LibraryTeardown);
    return RUN_ALL_TESTS();
}
