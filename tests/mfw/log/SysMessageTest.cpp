// The logger end to end: each test is its own process, so the logger starts fresh from the
// test's private HKLM and writes into the test's own directory; assertions read the files.
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/threads/corerunnable.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/LogSecrets.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace CORE;
using testsupport::CountOf;
using testsupport::ReadAllLogText;

namespace {

const wchar_t kRootKey[] = L"Software\\Velmora\\Zephral";
const wchar_t kLogKey[] = L"Software\\Velmora\\Zephral\\Log";
const wchar_t kTimeZoneKey[] = L"SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation";

template <typename F>
bool WaitFor(F&& condition, DWORD timeoutMs = 5000) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(10);
    }
    return true;
}

// The whole line (without CR LF) that contains `fragment`, or empty.
std::wstring LineWith(const std::wstring& text, const std::wstring& fragment) {
    size_t at = text.find(fragment);
    if (at == std::wstring::npos) return std::wstring();
    size_t begin = text.rfind(L'\n', at);
    begin = begin == std::wstring::npos ? 0 : begin + 1;
    size_t end = text.find(L"\r\n", at);
    return text.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::wstring Hex4(DWORD value) {
    wchar_t text[16];
    swprintf(text, 16, L"%04lX", static_cast<unsigned long>(value & 0xFFFF));
    return text;
}

class LoggerTest : public testing::Test {
protected:
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform platform;  // the host is LogonUI.exe, session 2
    testsupport::TempDirectory dir;
    testsupport::LogCapture log{false};  // these tests are about the level settings themselves

    void SetUp() override { SetLog(L"LogFileDirectory", dir.Path()); }
    void SetRoot(const wchar_t* name, const std::wstring& value) { registry.SetString(kRootKey, name, value); }
    void SetLog(const wchar_t* name, const std::wstring& value) { registry.SetString(kLogKey, name, value); }
    void UseBias(LONG bias) {
        SetRoot(L"readActiveTimeBiasFromRegistry", L"true");
        registry.SetDword(kTimeZoneKey, L"ActiveTimeBias", static_cast<DWORD>(bias));
    }
    std::wstring Daily() {
        FlushLog();
        return ReadAllLogText(dir.Path(), L"log-*.txt");
    }
    std::wstring Debug() {
        FlushLog();
        return ReadAllLogText(dir.Path(), L"debug-*.txt");
    }
};

TEST_F(LoggerTest, LinesCarryTheTimeStampWithTheConfiguredOffset) {
    UseBias(0);
    LogMessage(LOG_INFO, L"formats wide=%s narrow=%S n=%d z=%zu hex=%X", L"w", "n", -5, static_cast<size_t>(42), 255u);
    std::wstring line = LineWith(Daily(), L"formats ");
    EXPECT_EQ(LogFileDirectory(), dir.Path());
    std::wstring tid = Hex4(::GetCurrentThreadId());
    std::wstring pattern = L"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z INFO  \\([0-9A-F]{4,8}-" + tid + L"\\) <" +
                           std::to_wstring(::GetCurrentThreadId()) +
                           L"> \\[LogonUI\\] formats wide=w narrow=n n=-5 z=42 hex=FF";
    EXPECT_TRUE(std::regex_match(line, std::wregex(pattern))) << Narrow(line);

    struct Case {
        LONG bias;
        const wchar_t* offset;
    };
    const Case cases[] = {{-60, L"+01:00 INFO "}, {300, L"-05:00 INFO "}, {-330, L"+05:30 INFO "}};
    for (const auto& c : cases) {
        UseBias(c.bias);
        RefreshLogSettings();
        std::wstring marker = L"bias " + std::to_wstring(c.bias) + L" ";
        LogMessage(LOG_INFO, L"%s", marker.c_str());
        line = LineWith(Daily(), marker);
        EXPECT_EQ(line.substr(23, 12), c.offset) << Narrow(line);
    }
}

TEST_F(LoggerTest, LineHasOneEndingAndCarriesThreadNameContextLevelAndComponent) {
    SetCurrentThreadName(L"tester");
    {
        DiagnosticContextScope outer(L"outer");
        DiagnosticContextScope inner(L"inner");
        LogMessage(LOG_INFO, L"with context\r\n");
    }
    LogMessage(LOG_INFO, L"after context");
    LogMessage(7, L"odd level");
    corelogger component(L"Component");
    component.Log(2, L"from component");
    component.Log(4, L"component trace");  // TRACE: off by default
    corelogger off(L"Off", false);
    off.Log(1, L"never written");
    std::wstring text = Daily();
    EXPECT_NE(text.find(L" <tester> [LogonUI] with context {outer; inner}\r\n2"), std::wstring::npos);
    EXPECT_NE(LineWith(text, L"after context").find(L"[LogonUI] after context"), std::wstring::npos);
    EXPECT_EQ(LineWith(text, L"after context").find(L"{"), std::wstring::npos);
    EXPECT_NE(LineWith(text, L"odd level").find(L" UNKNOWN ("), std::wstring::npos);
    EXPECT_NE(LineWith(text, L"from component").find(L" INFO  (") , std::wstring::npos);
    EXPECT_NE(text.find(L"<tester> [Component] from component\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"component trace"), std::wstring::npos);
    EXPECT_EQ(text.find(L"never written"), std::wstring::npos);
    EXPECT_EQ(corelogger::LevelOf(1), LOG_ERROR);
    EXPECT_EQ(corelogger::LevelOf(3), LOG_DEBUG);
    EXPECT_EQ(corelogger::LevelOf(4), LOG_TRACE);
    EXPECT_EQ(corelogger::LevelOf(0), LOG_FATAL);
}

TEST_F(LoggerTest, TruncatedIdGroupPrintsFourDigitsEach) {
    SetRoot(L"truncateProcIdThreadId", L"true");
    LogMessage(LOG_INFO, L"short ids");
    std::wstring expected = L" (" + Hex4(::GetCurrentProcessId()) + L"-" + Hex4(::GetCurrentThreadId()) + L") <";
    EXPECT_NE(LineWith(Daily(), L"short ids").find(expected), std::wstring::npos);
}

TEST_F(LoggerTest, RedactsTheMakerPrefixInFilesButNotForObservers) {
    LogMessage(LOG_INFO, L"credprovider::DRV_EnumerateCredentials(): drv and Drv");
    std::wstring text = Daily();
    EXPECT_NE(text.find(L"credprovider::***_EnumerateCredentials(): *** and ***"), std::wstring::npos);
    EXPECT_TRUE(log.Contains(L"credprovider::DRV_EnumerateCredentials(): drv and Drv"));

    SetRoot(L"legacyRedactEnabled", L"false");
    RefreshLogSettings();
    LogMessage(LOG_INFO, L"unmasked DRV_");
    EXPECT_NE(Daily().find(L"unmasked DRV_"), std::wstring::npos);
}

TEST_F(LoggerTest, NewFilesStartWithHeaderLinesAndTheStartLine) {
    LogMessage(LOG_INFO, L"first");
    FlushLog();
    for (const auto& file : testsupport::ReadLogFiles(dir.Path(), L"*.txt")) {
        SCOPED_TRACE(Narrow(file.name));
        ASSERT_GE(file.bytes.size(), 2u);
        EXPECT_EQ(file.bytes[0], 0xFF);
        EXPECT_EQ(file.bytes[1], 0xFE);
        std::wstring text = file.text.substr(1);
        size_t firstEnd = text.find(L"\r\n");
        ASSERT_NE(firstEnd, std::wstring::npos);
        EXPECT_NE(text.substr(0, firstEnd).find(L" INFO  ("), std::wstring::npos);
        EXPECT_NE(text.substr(0, firstEnd).find(L"] Log for Velmora Zephral"), std::wstring::npos);
        EXPECT_NE(text.find(L"] hostname=", firstEnd), std::wstring::npos);
        EXPECT_EQ(text.find(L"] hostname="), text.find(L"\r\n") + 2 + text.substr(firstEnd + 2).find(L"] hostname="));
    }
    EXPECT_EQ(testsupport::ReadLogFiles(dir.Path(), L"log-*.txt").size(), 1u);
    EXPECT_EQ(testsupport::ReadLogFiles(dir.Path(), L"debug-*.txt").size(), 1u);
    wchar_t start[200];
    swprintf(start, 200,
             L"Program 'LogonUI' started, version=unknown, pid=0x%lX, buildtype=release, usethread=1, "
             L"closeafterwrite=0, sessionId=2",
             static_cast<unsigned long>(::GetCurrentProcessId()));
    EXPECT_EQ(CountOf(Daily(), start), 1u) << Narrow(start);
}

TEST_F(LoggerTest, LevelTestFollowsTheSettings) {
    EXPECT_TRUE(IsLogLevelEnabled(LOG_TRACE));  // nothing configured yet
    struct Case {
        const wchar_t* trace;
        const wchar_t* debug;
        const wchar_t* logOn;
        const wchar_t* event;
        const wchar_t* developer;
        bool expected[6];
    };
    const Case cases[] = {
        {L"false", L"true", L"true", L"true", L"false", {false, true, true, true, true, true}},
        {L"true", L"false", L"false", L"false", L"false", {true, true, true, true, true, true}},
        {L"false", L"false", L"true", L"false", L"false", {false, false, true, true, true, true}},
        {L"false", L"false", L"false", L"true", L"false", {false, false, true, true, true, true}},
        {L"false", L"false", L"false", L"false", L"false", {false, false, false, false, false, false}},
        {L"false", L"false", L"false", L"false", L"yes", {true, true, true, true, true, true}},
    };
    LogMessage(LOG_INFO, L"configured");
    for (const auto& c : cases) {
        SetRoot(L"traceEnabled", c.trace);
        SetRoot(L"debugEnabled", c.debug);
        SetRoot(L"logEnabled", c.logOn);
        SetRoot(L"eventEnabled", c.event);
        SetRoot(L"DeveloperMachine", c.developer);
        RefreshLogSettings();
        for (int level = 0; level <= 5; ++level)
            EXPECT_EQ(IsLogLevelEnabled(level), c.expected[level])
                << "level " << level << " trace=" << Narrow(c.trace) << " debug=" << Narrow(c.debug)
                << " log=" << Narrow(c.logOn) << " event=" << Narrow(c.event);
    }
}

TEST_F(LoggerTest, DailyFileTakesInfoAndAboveAndDebugFileEveryPassingLevel) {
    LogMessage(LOG_TRACE, L"trace-line");
    LogMessage(LOG_DEBUG, L"debug-line");
    LogMessage(LOG_INFO, L"info-line");
    LogMessage(LOG_ERROR, L"error-line");
    std::wstring daily = Daily();
    std::wstring debug = Debug();
    EXPECT_EQ(daily.find(L"trace-line"), std::wstring::npos);
    EXPECT_EQ(daily.find(L"debug-line"), std::wstring::npos);
    EXPECT_NE(daily.find(L"info-line"), std::wstring::npos);
    EXPECT_NE(daily.find(L"error-line"), std::wstring::npos);
    EXPECT_EQ(debug.find(L"trace-line"), std::wstring::npos);
    EXPECT_NE(debug.find(L"debug-line"), std::wstring::npos);
    EXPECT_NE(debug.find(L"info-line"), std::wstring::npos);

    SetRoot(L"logEnabled", L"false");
    RefreshLogSettings();
    LogMessage(LOG_INFO, L"only-debug");
    EXPECT_EQ(Daily().find(L"only-debug"), std::wstring::npos);
    EXPECT_NE(Debug().find(L"only-debug"), std::wstring::npos);
}

TEST_F(LoggerTest, QueueOverTheThresholdDropsAndReportsOnce) {
    SetRoot(L"msgQueueSizeThreshold", L"50");
    LogMessage(LOG_INFO, L"warm up");
    FlushLog();
    // Another holder of the log guard stalls the writer, as a stuck process would.
    HANDLE guard = ::CreateMutexW(nullptr, FALSE, L"Velmora Zephral Framework Log Guard");
    ASSERT_NE(guard, nullptr);
    ASSERT_EQ(::WaitForSingleObject(guard, 10000), WAIT_OBJECT_0);
    for (int i = 0; i < 500; ++i) LogMessage(LOG_INFO, L"flood %d", i);
    ::ReleaseMutex(guard);
    ::CloseHandle(guard);

    std::wstring report = L"Log message threshold 50 reached dropping log messages for exe LogonUI.exe with PID " +
                          std::to_wstring(::GetCurrentProcessId()) + L".";
    EXPECT_EQ(log.Count(report, LOG_ERROR), 1u);
    std::wstring text = Daily();
    EXPECT_EQ(CountOf(text, report), 1u);
    EXPECT_NE(LineWith(text, report).find(L" ERROR ("), std::wstring::npos);
    const size_t written = CountOf(text, L"] flood ");
    EXPECT_GE(written, 50u);
    EXPECT_LE(written, 52u + 10u);  // the threshold, one over it, and a batch the writer held
    EXPECT_EQ(LogDroppedRecords(), 500u - written);
    EXPECT_LE(LogQueueHighWater(), 51u);
    auto events = platform.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].id, 0xC0000069u);
    EXPECT_EQ(events[0].category, 9);
    EXPECT_EQ(events[0].text, report);
}

TEST_F(LoggerTest, DebugFilesAreReusedRotatedAndPruned) {
    SetLog(L"MaxDebugLogs", L"3");
    SetLog(L"MaxDebugLogSizeMB", L"1");
    const wchar_t* old[] = {L"debug-2020-01-01-000000.txt", L"debug-2020-01-02-000000.txt",
                            L"debug-2020-01-03-000000.txt", L"debug-2020-01-04-000000.txt"};
    for (auto name : old) {
        HANDLE file = ::CreateFileW((dir.Path() + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ::WriteFile(file, "\xFF\xFE", 2, &written, nullptr);
        ::CloseHandle(file);
    }
    LogMessage(LOG_INFO, L"into the newest");
    FlushLog();
    std::wstring newest = ReadAllLogText(dir.Path(), old[3]);
    EXPECT_NE(newest.find(L"Opening latest existing log file"), std::wstring::npos);
    EXPECT_NE(newest.find(L"into the newest"), std::wstring::npos);
    EXPECT_EQ(testsupport::ReadLogFiles(dir.Path(), L"debug-*.txt").size(), 3u);
    EXPECT_EQ(::GetFileAttributesW((dir.Path() + old[0]).c_str()), INVALID_FILE_ATTRIBUTES);

    const std::wstring filler(200, L'f');
    for (int i = 0; i < 6000; ++i) LogMessage(LOG_DEBUG, L"%05d %s", i, filler.c_str());
    FlushLog();
    auto files = testsupport::ReadLogFiles(dir.Path(), L"debug-*.txt");
    EXPECT_EQ(files.size(), 3u);
    for (size_t i = 0; i + 1 < files.size(); ++i) EXPECT_GE(files[i].bytes.size(), 1u << 20) << Narrow(files[i].name);
    EXPECT_NE(files.back().text.find(L"05999 "), std::wstring::npos);
    EXPECT_NE(files.back().text.find(L"] Log for Velmora Zephral"), std::wstring::npos);
}

TEST_F(LoggerTest, DailyCleanUpDeletesExpiredFilesOnTheFirstWrite) {
    SetLog(L"MaxDaysKept", L"7");
    const std::wstring ancient = dir.Path() + L"log-2000-01-01.txt";
    const std::wstring future = dir.Path() + L"log-2999-01-01.txt";
    for (const auto& path : {ancient, future}) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ::CloseHandle(file);
    }
    LogMessage(LOG_INFO, L"today");
    FlushLog();
    EXPECT_EQ(::GetFileAttributesW(ancient.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(::GetFileAttributesW(future.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LoggerTest, DiskThresholdStopsLoggingWithOneWarningUntilSpaceReturns) {
    SetRoot(L"DiskThresholdForLogAndEventsMB", L"4000000000");  // more than any disk has free
    LogMessage(LOG_INFO, L"before");
    FlushLog();
    LogMessage(LOG_INFO, L"while full");
    const std::wstring warning =
        L"Disk space free threshold for log reached.  No more messages will be logged until more disk space has "
        L"become available or the threshold is reduced.";
    std::wstring text = Daily();
    EXPECT_EQ(CountOf(text, warning), 1u);
    EXPECT_NE(LineWith(text, warning).find(L" WARN  ("), std::wstring::npos);
    EXPECT_EQ(text.find(L"while full"), std::wstring::npos);
    EXPECT_EQ(ReadRegistryValue(L"HKLM\\Software\\Velmora\\Zephral\\Log\\loggedThresholdReached", L""), L"true");

    SetRoot(L"DiskThresholdForLogAndEventsMB", L"0");
    RefreshLogSettings();
    LogMessage(LOG_INFO, L"space again");
    text = Daily();
    EXPECT_NE(text.find(L"space again"), std::wstring::npos);
    EXPECT_EQ(CountOf(text, warning), 1u);
    EXPECT_EQ(ReadRegistryValue(L"HKLM\\Software\\Velmora\\Zephral\\Log\\loggedThresholdReached", L""), L"false");
}

TEST_F(LoggerTest, FollowsRegistryChangesThroughTheWatch) {
    LogMessage(LOG_INFO, L"started");
    EXPECT_FALSE(IsLogLevelEnabled(LOG_TRACE));
    SetRoot(L"traceEnabled", L"true");
    EXPECT_TRUE(WaitFor([] { return IsLogLevelEnabled(LOG_TRACE); }));
    SetRoot(L"traceEnabled", L"false");
    SetRoot(L"debugEnabled", L"false");
    EXPECT_TRUE(WaitFor([] { return !IsLogLevelEnabled(LOG_DEBUG) && !IsLogLevelEnabled(LOG_TRACE); }));
    EXPECT_TRUE(WaitFor([&] {
        return Daily().find(L" ********** Debug log file is disabled for LogonUI. **********\r\n") != std::wstring::npos;
    }));
    SetRoot(L"debugEnabled", L"true");
    EXPECT_TRUE(WaitFor([&] {
        return Debug().find(L" ********** Debug log file is enabled for LogonUI. **********\r\n") != std::wstring::npos;
    }));
}

TEST_F(LoggerTest, EventReportsMapTypesToIdsAndHonourTheOverride) {
    struct Case {
        WORD type;
        DWORD id;
    };
    const Case cases[] = {{EVENTLOG_SUCCESS, 0x40000066}, {EVENTLOG_ERROR_TYPE, 0xC0000069},
                          {EVENTLOG_WARNING_TYPE, 0x80000068}, {EVENTLOG_AUDIT_FAILURE, 0x80000068},
                          {EVENTLOG_INFORMATION_TYPE, 0x40000067}, {EVENTLOG_AUDIT_SUCCESS, 0x40000067}};
    for (const auto& c : cases) EXPECT_TRUE(WriteWindowEvent(c.type, L"event text"));
    auto events = platform.Events();
    ASSERT_EQ(events.size(), std::size(cases));
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].type, cases[i].type);
        EXPECT_EQ(events[i].id, cases[i].id);
        EXPECT_EQ(events[i].category, 9);
        EXPECT_EQ(events[i].text, L"event text");
    }
    EXPECT_FALSE(WriteWindowEvent(3, L"bad type"));
    EXPECT_TRUE(log.Contains(L"WriteWindowEvent: Bad wType=3, Text=bad type", LOG_ERROR));
    EXPECT_FALSE(WriteWindowEvent(EVENTLOG_ERROR_TYPE, L""));
    EXPECT_FALSE(WriteWindowEvent(EVENTLOG_ERROR_TYPE, nullptr));
    SetRoot(L"eventOverride", L"1");
    RefreshLogSettings();
    EXPECT_FALSE(WriteWindowEvent(EVENTLOG_ERROR_TYPE, L"suppressed"));
    EXPECT_EQ(platform.Events().size(), std::size(cases));
}

TEST_F(LoggerTest, FunctionTraceLinesOnlyWhileTraceIsOn) {
    LogMessage(LOG_INFO, L"configured");
    { SysMsgUtl::FunctionTraceWithSessionId trace("quiet::Method", L"detail"); }
    EXPECT_FALSE(log.Contains(L"quiet::Method"));

    SetRoot(L"traceEnabled", L"true");
    RefreshLogSettings();
    {
        SysMsgUtl::FunctionTraceWithSessionId trace("credprovider::Advise", L"seqno=3");
        trace.SetExitDetail(L"hr=0x0");
    }
    { SysMsgUtl::FunctionTraceWithSessionId trace("cred::GetSerialization"); }
    EXPECT_TRUE(log.Contains(L"credprovider::Advise() (sessionId=2): Enter - seqno=3", LOG_TRACE));
    EXPECT_TRUE(log.Contains(L"credprovider::Advise() (sessionId=2): Exit - hr=0x0", LOG_TRACE));
    EXPECT_TRUE(log.Contains(L"cred::GetSerialization() (sessionId=2): Enter", LOG_TRACE));
    EXPECT_TRUE(log.Contains(L"cred::GetSerialization() (sessionId=2): Exit", LOG_TRACE));
    std::wstring debug = Debug();
    EXPECT_NE(debug.find(L" TRACE ("), std::wstring::npos) << Narrow(debug);
}

TEST_F(LoggerTest, FormattingFaultBecomesTheExceptionTextAndLongTextsSurvive) {
    LogMessage(LOG_INFO, L"bad pointer %s", reinterpret_cast<const wchar_t*>(16));
    EXPECT_TRUE(log.Contains(L"<***** VPRINTF EXCEPTION *****>", LOG_INFO));
    EXPECT_FALSE(log.Contains(L"bad pointer"));
    const std::wstring longText(5000, L'L');
    LogMessage(LOG_INFO, L"long:%s:end", longText.c_str());
    LogMessage(LOG_INFO, nullptr);
    std::wstring text = Daily();
    EXPECT_NE(text.find(L"] <***** VPRINTF EXCEPTION *****>\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"long:" + longText + L":end\r\n"), std::wstring::npos);
}

TEST_F(LoggerTest, RecordsFromSeveralThreadsAreAllWritten) {
    constexpr int kPerThread = 5000;
    auto worker = [](int id) {
        for (int i = 0; i < kPerThread; ++i) LogMessage(LOG_INFO, L"mt-%d-%05d", id, i);
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();
    std::wstring text = Daily();
    EXPECT_EQ(CountOf(text, L"] mt-1-"), static_cast<size_t>(kPerThread));
    EXPECT_EQ(CountOf(text, L"] mt-2-"), static_cast<size_t>(kPerThread));
    EXPECT_NE(text.find(L"] mt-2-04999\r\n"), std::wstring::npos);
    EXPECT_EQ(LogDroppedRecords(), 0u);
}

// For the failure-expecting macros, which cannot see locals.
std::wstring g_secretDir;

TEST_F(LoggerTest, SecretCheckFindsSecretsInEveryEncoding) {
    g_secretDir = dir.Path();
    LogMessage(LOG_DEBUG, L"password=%s", L"Hunter2!");  // the debug file only
    EXPECT_NONFATAL_FAILURE(testsupport::ExpectNoSecretInLogs(g_secretDir, {L"Hunter2!"}), "secret #0");
    testsupport::ExpectNoSecretInLogs(g_secretDir, {L"NeverLogged", L""});

    // Files other programs write in UTF-8, in a subfolder.
    ASSERT_TRUE(::CreateDirectoryW((dir.Path() + L"sub").c_str(), nullptr));
    HANDLE file = ::CreateFileW((dir.Path() + L"sub\\other.log").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const char utf8[] = "pin=\xC3\xA9t\xC3\xA9" "42";
    DWORD written = 0;
    ::WriteFile(file, utf8, sizeof(utf8) - 1, &written, nullptr);
    ::CloseHandle(file);
    EXPECT_NONFATAL_FAILURE(testsupport::ExpectNoSecretInLogs(g_secretDir, {L"\u00E9t\u00E942"}), "secret #0");
}

}  // namespace

namespace {

TEST_F(LoggerTest, SlowWritesGetTheDelayNote) {
    SetLog(L"LogDelayNotificationTreshold", L"20");
    LogMessage(LOG_INFO, L"warm up");
    FlushLog();
    HANDLE guard = ::CreateMutexW(nullptr, FALSE, L"Velmora Zephral Framework Log Guard");
    ASSERT_EQ(::WaitForSingleObject(guard, 10000), WAIT_OBJECT_0);
    LogMessage(LOG_INFO, L"waited for the guard");
    ::Sleep(200);
    ::ReleaseMutex(guard);
    ::CloseHandle(guard);
    std::wstring text = Daily();
    size_t at = text.find(L"] waited for the guard\r\n(LogDelayTicks=");
    ASSERT_NE(at, std::wstring::npos) << Narrow(text);
    unsigned delay = 0, lockWait = 0;
    ASSERT_EQ(swscanf(text.c_str() + text.find(L"(LogDelayTicks=", at), L"(LogDelayTicks=%u, LogLockWaitTicks=%u)\r\n",
                      &delay, &lockWait),
              2);
    EXPECT_GE(delay, 150u);
    EXPECT_GE(lockWait, 100u);
    EXPECT_EQ(LineWith(text, L"warm up").find(L"LogDelayTicks"), std::wstring::npos);
}

// The module in a process of its own: it starts the logger while the loader runs its entry
// point, and at process exit (writer thread already gone) its detach flushes on the exiting
// thread.
const wchar_t kChildDirVariable[] = L"TC_LOG_EXIT_CHILD_DIR";

TEST(LogExit, ChildLoadsTheModuleAndExits) {
    wchar_t dirText[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(kChildDirVariable, dirText, MAX_PATH) == 0) GTEST_SKIP() << "runs as a child only";
    auto* registry = new testsupport::RegistrySandbox;  // left for the parent to remove
    registry->SetString(kLogKey, L"LogFileDirectory", dirText);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path);
    dll = dll.substr(0, dll.rfind(L'\\') + 1) + L"tcfiltr.dll";
    HMODULE module = ::LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr);
    ::ExitProcess(0);
}

TEST(LogExit, ModuleFlushesAtProcessExit) {
    testsupport::TempDirectory dir;
    ::SetEnvironmentVariableW(kChildDirVariable, dir.Path().c_str());
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(path) + L"\" --gtest_filter=LogExit.ChildLoadsTheModuleAndExits";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process));
    ::SetEnvironmentVariableW(kChildDirVariable, nullptr);
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::RegDeleteTreeW(HKEY_CURRENT_USER,
                     (L"Software\\TcfiltrTest\\" + std::to_wstring(process.dwProcessId) + L"-1").c_str());
    EXPECT_EQ(exitCode, 0u);
    std::wstring text = ReadAllLogText(dir.Path(), L"log-*.txt");
    EXPECT_NE(text.find(L"tcfiltr attach for session with sessionId="), std::wstring::npos) << Narrow(text);
    EXPECT_NE(text.find(L"Plugin 'tcfiltr' loaded, version=1.0.0.0"), std::wstring::npos);
    EXPECT_NE(text.find(L"tcfiltr detach for session with sessionId="), std::wstring::npos);
}

}  // namespace

namespace {

bool OpenExclusively(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
}

TEST_F(LoggerTest, FilesAreClosedAfterTheInactivityTimeout) {
    SetLog(L"InactivityTimeoutSeconds", L"2");
    LogMessage(LOG_INFO, L"then quiet");
    FlushLog();
    auto files = testsupport::ReadLogFiles(dir.Path(), L"log-*.txt");
    ASSERT_EQ(files.size(), 1u);
    const std::wstring path = dir.Path() + files[0].name;
    EXPECT_FALSE(OpenExclusively(path));  // the writer holds it
    EXPECT_TRUE(WaitFor([&] { return OpenExclusively(path); }, 10000));
    LogMessage(LOG_INFO, L"reopened");
    EXPECT_NE(Daily().find(L"] reopened\r\n"), std::wstring::npos);
}

}  // namespace
