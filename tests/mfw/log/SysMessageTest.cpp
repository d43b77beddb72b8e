// The logger end to end: each test is its own process, so the logger starts fresh from the
// test's private HKLM and writes into the test's own directory; assertions read the files.
// What one line or one file name looks like is the unit tests' part.
#include "mfw/MfwTestSupport.h"

#include "base/Guids.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/LogLine.h"
#include "lib/mfw/common/log/LogWriter.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "support/AgentSimProcess.h"
#include "support/LogSecrets.h"
#include "support/WaitFor.h"

#include <regex>
#include <thread>

namespace mfwtest {
namespace {

using namespace CORE;
using testsupport::CountOf;
using testsupport::ReadAllLogText;
using testsupport::ReadLogFiles;
using testsupport::WaitFor;

// True when a line of `text` at the level named `level` carries `fragment`.
bool LineAt(const std::wstring& text, const std::wstring& level, const std::wstring& fragment) {
    return std::regex_search(text, std::wregex(L" " + level + L" \\([^\r\n]*" + fragment));
}

struct LoggerTest : testing::Test {
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform platform;  // the host is LogonUI.exe, session 2
    testsupport::TempDirectory dir;
    testsupport::LogCapture log{false};  // these tests are about the level settings themselves

    void SetUp() override { SetLog(L"LogFileDirectory", dir.Path()); }
    void SetRoot(const wchar_t* name, const std::wstring& value) { registry.SetString(kRootKey, name, value); }
    // Sets root values and has the logger read them now.
    void Configure(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> values) {
        for (const auto& [name, value] : values) SetRoot(name, value);
        RefreshLogSettings();
    }
    void SetLog(const wchar_t* name, const std::wstring& value) { registry.SetString(kLogKey, name, value); }
    std::wstring Daily() { return FlushLog(), ReadAllLogText(dir.Path(), L"log-*.txt"); }
    std::wstring Debug() { return FlushLog(), ReadAllLogText(dir.Path(), L"debug-*.txt"); }
};

// ExitProcess can end the writer thread in the middle of a cycle, holding the right to drain:
// here while it waits for the file guard another process holds. The exit-time flush on the
// exiting thread takes that right over and writes what is queued.
TEST_F(LoggerTest, AnExitFlushTakesOverFromAWriterEndedMidCycle) {
    auto* writer = new LogWriter;  // never destroyed, as the process's own
    writer->Prepare({L"LogonUI.exe", L"LogonUI", ::GetCurrentProcessId(), L"1", L"host", L"1.0", L""});
    writer->Configure();
    ASSERT_TRUE(writer->StartThread());
    platform::unique_handle guard(::CreateMutexW(nullptr, FALSE, L"Velmora Zephral Framework Log Guard"));
    ASSERT_EQ(::WaitForSingleObject(guard.get(), 5000), WAIT_OBJECT_0);
    LogRecord record;
    record.data = L"the last words";
    record.textLength = static_cast<uint32_t>(record.data.size());
    record.level = LOG_INFO;
    writer->Enqueue(std::move(record));
    ::Sleep(300);  // the writer has claimed the drain and waits for the guard
    platform::unique_handle thread(::OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, writer->WriterThreadId()));
    ASSERT_TRUE(::TerminateThread(thread.get(), 0));
    ::WaitForSingleObject(thread.get(), 5000);
    ::ReleaseMutex(guard.get());
    writer->Flush(2000);
    EXPECT_NE(ReadAllLogText(dir.Path(), L"log-*.txt").find(L"the last words"), std::wstring::npos);
}

TEST_F(LoggerTest, LinesCarryArgumentsIdsNamesAndContextAndFilesAreRedacted) {
    {
        DiagnosticContextScope outer(L"outer"), inner(L"inner");
        corelogger(L"Component").Log(2, L"with context\r\n");
    }
    LogMessage(LOG_INFO, L"formats wide=%s narrow=%S n=%d z=%zu hex=%X", L"w", "n", -5, static_cast<size_t>(42), 255u);
    LogMessage(LOG_INFO, L"credprovider::DRV_EnumerateCredentials(): drv and Drv");
    corelogger(L"Component").Log(4, L"component trace");  // TRACE: off by default
    corelogger(L"Off", false).Log(1, L"never written");
    LogMessage(LOG_INFO, L"bad pointer %s", reinterpret_cast<const wchar_t*>(16));  // a formatting fault
    const std::wstring longText(5000, L'L');
    LogMessage(LOG_INFO, L"long:%s:end", longText.c_str());
    LogMessage(LOG_INFO, nullptr);
    const std::wstring text = Daily();
    const DWORD tid = ::GetCurrentThreadId();
    EXPECT_EQ(LogFileDirectory(), dir.Path());
    const std::wstring ids = L" INFO  (" + logline::ProcessIdText(::GetCurrentProcessId()) + L"-" + logline::ProcessIdText(tid) + L") <" +
                             std::to_wstring(tid) + L"> [";
    // One line ending, the context after the text.
    EXPECT_TRUE(Has(text, ids + L"LogonUI] formats wide=w narrow=n n=-5 z=42 hex=FF\r\n") &&
                Has(text, ids + L"Component] with context {outer; inner}\r\n"))
        << Narrow(text);
    EXPECT_TRUE(Has(text, L"credprovider::***_EnumerateCredentials(): *** and ***") &&  // masked in the files only
                log.Contains(L"credprovider::DRV_EnumerateCredentials(): drv and Drv"));
    EXPECT_FALSE(Has(text, L"component trace") || Has(text, L"never written") || Has(text, L"bad pointer"));
    EXPECT_TRUE(Has(text, L"] <***** VPRINTF EXCEPTION *****>\r\n") && Has(text, L"long:" + longText + L":end\r\n"));
}

TEST_F(LoggerTest, LevelsAndFilesFollowTheSettings) {
    EXPECT_TRUE(IsLogLevelEnabled(LOG_TRACE));  // nothing configured yet
    LogMessage(LOG_INFO, L"configured");
    // trace, debug, log, event, developer ('1' true) -> levels TRACE..FATAL enabled
    const std::pair<const char*, const char*> cases[] = {{"01110", "011111"}, {"10000", "111111"}, {"00100", "001111"},
                                                         {"00010", "001111"}, {"00000", "000000"}, {"00001", "111111"}};
    const wchar_t* names[] = {L"traceEnabled", L"debugEnabled", L"logEnabled", L"eventEnabled", L"DeveloperMachine"};
    for (const auto& [settings, expected] : cases) {
        for (int i = 0; i < 5; ++i) SetRoot(names[i], settings[i] == '1' ? (i == 4 ? L"yes" : L"true") : L"false");
        RefreshLogSettings();
        for (int level = 0; level <= 5; ++level) EXPECT_EQ(IsLogLevelEnabled(level), expected[level] == '1') << settings << " level " << level;
    }
    // The daily file takes INFO and above while it is enabled, the debug file every passing level.
    for (const auto& [logOn, tag] : {std::pair{L"true", L"on"}, {L"false", L"off"}}) {
        Configure({{L"DeveloperMachine", L"false"}, {L"debugEnabled", L"true"}, {L"logEnabled", logOn}});
        for (int level : {LOG_TRACE, LOG_DEBUG, LOG_INFO}) LogMessage(level, L"%s-%d", tag, level);
    }
    const std::wstring daily = Daily(), debug = Debug();
    std::string seen;
    for (const wchar_t* line : {L"on-0", L"on-1", L"on-2", L"off-0", L"off-1", L"off-2"})
        seen += std::string(Has(daily, line) ? "d" : "-") + (Has(debug, line) ? "D " : "- ");
    EXPECT_EQ(seen, "-- -D dD -- -D -D ");
}

TEST_F(LoggerTest, QueueOverTheThresholdDropsAndReportsOnce) {
    SetRoot(L"msgQueueSizeThreshold", L"50");
    LogMessage(LOG_INFO, L"warm up");
    FlushLog();
    // Another holder of the guard the writers share stalls this writer, as a stuck process would.
    platform::unique_handle guard(::CreateMutexW(nullptr, FALSE, L"Velmora Zephral Framework Log Guard"));
    ASSERT_EQ(::WaitForSingleObject(guard.get(), 10000), WAIT_OBJECT_0);
    for (int i = 0; i < 500; ++i) LogMessage(LOG_INFO, L"flood %d", i);
    ::ReleaseMutex(guard.get());
    const std::wstring report = L"Log message threshold 50 reached dropping log messages for exe LogonUI.exe with PID " +
                          std::to_wstring(::GetCurrentProcessId()) + L".";
    const std::wstring text = Daily();
    EXPECT_TRUE(CountOf(text, report) == 1 && LineAt(text, L"ERROR", report)) << Narrow(text.substr(0, 2000));
    const size_t written = CountOf(text, L"] flood ");
    EXPECT_TRUE(written >= 50u && written <= 52u + 10u) << written;  // the threshold, one over it, and a batch the writer held
    EXPECT_TRUE(LogDroppedRecords() == 500u - written && LogQueueHighWater() <= 51u) << LogDroppedRecords() << " " << LogQueueHighWater();
    EXPECT_TRUE(platform.Events().size() == 1u && platform.Events()[0].type == EVENTLOG_ERROR_TYPE && platform.Events()[0].text == report);
}

// Old files of earlier runs: the newest debug file is continued, the surplus pruned, and
// expired daily files deleted with the first write; then the current one rotates by size.
TEST_F(LoggerTest, OldFilesAreReusedPrunedAndExpiredAndTheDebugFileRotates) {
    for (const auto& [name, value] : {std::pair{L"MaxDebugLogs", L"3"}, {L"MaxDebugLogSizeMB", L"1"}, {L"MaxDaysKept", L"7"}}) SetLog(name, value);
    const wchar_t* old[] = {L"debug-2020-01-01-000000.txt", L"debug-2020-01-02-000000.txt", L"debug-2020-01-03-000000.txt",
                            L"debug-2020-01-04-000000.txt"};
    for (auto name : old) WriteBytes(dir.Path() + name, "\xFF\xFE");
    WriteBytes(dir.Path() + L"log-2000-01-01.txt");
    LogMessage(LOG_INFO, L"into the newest");
    FlushLog();
    const std::wstring newest = ReadAllLogText(dir.Path(), old[3]);
    EXPECT_TRUE(Has(newest, L"Opening latest existing log file") && Has(newest, L"into the newest"));
    EXPECT_TRUE(ReadLogFiles(dir.Path(), L"debug-*.txt").size() == 3u && !Exists(dir.Path() + old[0]) && !Exists(dir.Path() + L"log-2000-01-01.txt"));

    const std::wstring filler(200, L'f');
    for (int i = 0; i < 6000; ++i) LogMessage(LOG_DEBUG, L"%05d %s", i, filler.c_str());
    FlushLog();
    const auto files = ReadLogFiles(dir.Path(), L"debug-*.txt");
    ASSERT_EQ(files.size(), 3u);
    for (size_t i = 0; i + 1 < files.size(); ++i) EXPECT_GE(files[i].bytes.size(), 1u << 20) << Narrow(files[i].name);
    EXPECT_TRUE(Has(files.back().text, L"05999 ") && Has(files.back().text, L"] Log for Velmora Zephral"));
}

TEST_F(LoggerTest, DiskThresholdStopsLoggingWithOneWarningUntilSpaceReturns) {
    SetRoot(L"DiskThresholdForLogAndEventsMB", L"4000000000");  // more than any disk has free
    LogMessage(LOG_INFO, L"before");
    FlushLog();
    LogMessage(LOG_INFO, L"while full");
    const std::wstring warning = L"Disk space free threshold for log reached.  No more messages will be logged until";
    const std::wstring flag = L"HKLM\\Software\\Velmora\\Zephral\\Log\\loggedThresholdReached";
    std::wstring text = Daily();
    EXPECT_TRUE(CountOf(text, warning) == 1 && LineAt(text, L"WARN ", warning) && !Has(text, L"while full") &&
                ReadRegistryValue(flag, L"") == L"true") << Narrow(text);
    Configure({{L"DiskThresholdForLogAndEventsMB", L"0"}});
    LogMessage(LOG_INFO, L"space again");
    text = Daily();
    EXPECT_TRUE(Has(text, L"space again") && CountOf(text, warning) == 1 && ReadRegistryValue(flag, L"") == L"false");
}

TEST_F(LoggerTest, FollowsRegistryChangesThroughTheWatch) {
    LogMessage(LOG_INFO, L"started");
    ASSERT_FALSE(IsLogLevelEnabled(LOG_TRACE));
    SetRoot(L"traceEnabled", L"true");
    EXPECT_TRUE(WaitFor([] { return IsLogLevelEnabled(LOG_TRACE); }));
    for (const wchar_t* name : {L"traceEnabled", L"debugEnabled"}) SetRoot(name, L"false");
    EXPECT_TRUE(WaitFor([] { return !IsLogLevelEnabled(LOG_DEBUG) && !IsLogLevelEnabled(LOG_TRACE); }));
    SetRoot(L"debugEnabled", L"true");
    EXPECT_TRUE(WaitFor([&] { return Has(Debug(), L" ********** Debug log file is enabled for LogonUI. **********\r\n"); }));
}

TEST_F(LoggerTest, EventReportsMapTypesToIdsAndHonourTheOverride) {
    const std::pair<WORD, DWORD> cases[] = {{EVENTLOG_SUCCESS, 0x40000066},      {EVENTLOG_ERROR_TYPE, 0xC0000069},
                                            {EVENTLOG_WARNING_TYPE, 0x80000068}, {EVENTLOG_AUDIT_FAILURE, 0x80000068},
                                            {EVENTLOG_INFORMATION_TYPE, 0x40000067}, {EVENTLOG_AUDIT_SUCCESS, 0x40000067}};
    for (const auto& [type, id] : cases) {
        EXPECT_TRUE(WriteWindowEvent(type, L"event text"));
        const auto event = platform.Events().back();
        EXPECT_EQ(std::tie(event.type, event.id, event.category, event.text), std::make_tuple(type, id, 9, std::wstring(L"event text")));
    }
    EXPECT_FALSE(WriteWindowEvent(3, L"bad type") || WriteWindowEvent(EVENTLOG_ERROR_TYPE, L"") || WriteWindowEvent(EVENTLOG_ERROR_TYPE, nullptr));
    Configure({{L"eventOverride", L"1"}});
    EXPECT_TRUE(!WriteWindowEvent(EVENTLOG_ERROR_TYPE, L"suppressed") && platform.Events().size() == std::size(cases));
}

TEST_F(LoggerTest, RecordsFromSeveralThreadsAreAllWritten) {
    auto worker = [](int id) {
        for (int i = 0; i < 5000; ++i) LogMessage(LOG_INFO, L"mt-%d-%05d", id, i);
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join(), b.join();
    const std::wstring text = Daily();
    EXPECT_TRUE(CountOf(text, L"] mt-1-") == 5000u && CountOf(text, L"] mt-2-") == 5000u && LogDroppedRecords() == 0u);
}

// The module in a process of its own: it starts the logger while the loader runs its entry
// point; the child exits with the module's threads running (a provider's re-enumeration
// thread, the log writer), and the detach at process exit writes the log on the exiting
// thread without waiting for threads the exit has already ended.
const wchar_t kChildDirVariable[] = L"TC_LOG_EXIT_CHILD_DIR";

TEST(LogExit, ChildLoadsTheModuleAndExits) {
    wchar_t dirText[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(kChildDirVariable, dirText, MAX_PATH) == 0) GTEST_SKIP() << "runs as a child only";
    auto* registry = new testsupport::RegistrySandbox;  // left for the parent to remove
    registry->SetString(kLogKey, L"LogFileDirectory", dirText);
    for (const wchar_t* level : {L"traceEnabled", L"debugEnabled"}) registry->SetString(kRootKey, level, L"true");
    HMODULE module = ::LoadLibraryW((testsupport::ProgramDirectory() + L"tcfiltr.dll").c_str());
    ASSERT_NE(module, nullptr);
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IUnknown* provider = nullptr;  // both left alive: LogonUI, too, may exit holding them
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(getClassObject(CLSID_credprovider, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider)), S_OK);
    ::ExitProcess(0);
}

TEST(LogExit, ModuleFlushesAtProcessExit) {
    testsupport::TempDirectory dir;
    ::SetEnvironmentVariableW(kChildDirVariable, dir.Path().c_str());
    const platform::unique_handle child = testsupport::Launch(L"mfw_log_tests.exe", L"--gtest_filter=LogExit.ChildLoadsTheModuleAndExits");
    ::SetEnvironmentVariableW(kChildDirVariable, nullptr);
    DWORD exitCode = 1;
    // Bounded well below the module's own teardown waits (5 s and 15 s), which an exit never runs.
    ASSERT_EQ(::WaitForSingleObject(child.get(), 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(::GetExitCodeProcess(child.get(), &exitCode) && exitCode == 0u) << exitCode;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\TcfiltrTest\\" + std::to_wstring(::GetProcessId(child.get())) + L"-1").c_str());
    const std::wstring text = ReadAllLogText(dir.Path(), L"*.txt");
    // The provider was made (its thread ran), and the exit tore nothing down.
    EXPECT_TRUE(Has(text, L"tcfiltr detach for session with sessionId=") && Has(text, L"credprovider_CreateInstance") &&
                !Has(text, L"CleanupOfflineChannel")) << Narrow(text);
}

}  // namespace
}  // namespace mfwtest
