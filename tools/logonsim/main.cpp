// logonsim: plays LogonUI against a credential provider DLL and prints what happened.
//   logonsim --dll <path> [--scenario logon|unlock|credui|changepassword]
//            [--remote DOMAIN\USER --ticket TICKET] [--expect-refusal]
//            [--report-status 0xNTSTATUS] [--report-substatus 0xNTSTATUS]
//            [--expect-tiles N] [--expect-package NAME] [--expect-message N] [--expect-domain D]
//            [--expect-user U] [--expect-secret S] [--expect-local-user U] [--expect-container C]
//            [--expect-provider P] [--await-change MS] [--quiet]
//            [--timings] [--barrier NAME COUNT] [--repeat N [--window W]]
// Exit code 0 only when every call went as LogonUI needs and every expectation held. Secrets are
// compared, never printed. --timings prints "TIMING remote_us=.. logon_us=..", --barrier starts
// the logon once COUNT processes wait at NAME (a storm), --repeat runs N logons against the DLL
// loaded once, printing per W logons (default 1000) what Soak.h describes.
#include "LogonUiSession.h"
#include "Soak.h"
#include "StormBarrier.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void Print(const std::wstring& text) {
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), bytes, nullptr, nullptr);
    std::fputs(utf8.c_str(), stdout);
}

int Usage() {
    Print(L"usage: logonsim --dll <path> [--scenario logon|unlock|credui|changepassword]\n"
          L"         [--remote DOMAIN\\USER --ticket TICKET] [--expect-refusal]\n"
          L"         [--report-status 0xNTSTATUS] [--report-substatus 0xNTSTATUS] [--expect-tiles N]\n"
          L"         [--expect-package NAME] [--expect-message N] [--expect-domain D] [--expect-user U]\n"
          L"         [--expect-secret S] [--expect-local-user U] [--expect-container C] [--expect-provider P]\n"
          L"         [--await-change MS] [--quiet] [--timings] [--barrier NAME COUNT] [--repeat N [--window W]]\n");
    return 2;
}

// What the run did, step by step, and what LogonUI finally holds (secrets by length only).
void PrintOutcome(const logonsim::Options& options, const logonsim::Outcome& outcome) {
    Print(L"LogonUI stand-in: " + options.dllPath + L"\n");
    for (const auto& step : outcome.steps) {
        wchar_t line[768];
        _snwprintf(line, 767, L"  %-2s %-44s %-14s %s\n", step.ok ? L"" : L"!!", step.call.c_str(),
                   logonsim::HResultText(step.hr).c_str(), step.detail.c_str());
        line[767] = L'\0';
        Print(line);
    }
    if (outcome.refused) Print(L"  -> the filter refused the connection: message shown, session disconnected\n");
    if (outcome.providerAllowed && outcome.tileCount == 0)
        Print(L"  -> the provider offers no tile: no SSO material for this session\n");
    if (outcome.serialized)
        Print(L"  -> LogonUI received a " + outcome.decoded.package + L" logon for " +
              (outcome.decoded.domain.empty() ? std::wstring() : outcome.decoded.domain + L"\\") +
              outcome.decoded.user + L"\n");
    if (outcome.serialized && outcome.decoded.kind == logonsim::LogonKind::CloudCredential)
        Print(L"     CloudAP credential blob of " + std::to_wstring(outcome.decoded.password.raw.size()) + L" bytes\n");
    if (outcome.serialized && outcome.decoded.hasCspInfo) {
        const logonsim::DecodedSerialization& d = outcome.decoded;
        const std::wstring pin = d.pin.form == logonsim::SecretForm::Unrecoverable
                                     ? std::to_wstring(d.pin.raw.size()) + L" bytes, not recoverable here"
                                     : std::to_wstring(d.pin.clear.size()) + L" characters";
        Print(L"     " + std::wstring(logonsim::LogonKindName(d.kind)) + L": card '" + d.csp.card + L"', reader '" +
              d.csp.reader + L"', container '" + d.csp.container + L"', provider '" + d.csp.provider +
              L"', key spec " + std::to_wstring(d.csp.keySpec) + L", PIN of " + pin + L"\n");
    }
    Print(std::wstring(L"RESULT: ") + (outcome.ok ? L"OK" : L"FAILED") + L"\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    logonsim::Options options;
    bool quiet = false, timings = false;
    std::wstring barrier;
    LONG barrierCount = 0;
    int repeat = 0, window = 1000;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--dll" && hasValue) {
            options.dllPath = argv[++i];
        } else if (arg == L"--scenario" && hasValue) {
            std::wstring s = argv[++i];
            if (s == L"logon") options.scenario = CPUS_LOGON;
            else if (s == L"unlock") options.scenario = CPUS_UNLOCK_WORKSTATION;
            else if (s == L"credui") options.scenario = CPUS_CREDUI;
            else if (s == L"changepassword") options.scenario = CPUS_CHANGE_PASSWORD;
            else return Usage();
        } else if (arg == L"--remote" && hasValue) {
            std::wstring who = argv[++i];
            size_t slash = who.find(L'\\');
            options.remote.present = true;
            options.remote.domain = slash == std::wstring::npos ? std::wstring() : who.substr(0, slash);
            options.remote.user = slash == std::wstring::npos ? who : who.substr(slash + 1);
        } else if (arg == L"--ticket" && hasValue) {
            options.remote.present = true;
            options.remote.ticket = argv[++i];
        } else if (arg == L"--expect-refusal") {
            options.expectRefusal = true;
        } else if (arg == L"--expect-tiles" && hasValue) {
            options.expect.tiles = _wtoi(argv[++i]);
        } else if (arg == L"--report-status" && hasValue) {
            options.reportStatus = static_cast<LONG>(wcstoul(argv[++i], nullptr, 0));
        } else if (arg == L"--report-substatus" && hasValue) {
            options.reportSubstatus = static_cast<LONG>(wcstoul(argv[++i], nullptr, 0));
        } else if (arg == L"--expect-package" && hasValue) {
            options.expect.package = argv[++i];
        } else if (arg == L"--expect-message" && hasValue) {
            options.expect.messageType = _wtoi(argv[++i]);
        } else if (arg == L"--expect-domain" && hasValue) {
            options.expect.domain = argv[++i];
            options.expect.checkDomain = true;
        } else if (arg == L"--expect-user" && hasValue) {
            options.expect.user = argv[++i];
        } else if (arg == L"--expect-secret" && hasValue) {
            options.expect.secret = argv[++i];
        } else if (arg == L"--expect-local-user" && hasValue) {
            options.expect.localUser = argv[++i];
        } else if (arg == L"--expect-container" && hasValue) {
            options.expect.container = argv[++i];
        } else if (arg == L"--expect-provider" && hasValue) {
            options.expect.provider = argv[++i];
        } else if (arg == L"--await-change" && hasValue) {
            options.awaitChangeMs = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 0));
        } else if (arg == L"--quiet") {
            quiet = true;
        } else if (arg == L"--timings") {
            timings = true;
        } else if (arg == L"--barrier" && i + 2 < argc) {
            barrier = argv[++i];
            barrierCount = _wtoi(argv[++i]);
        } else if (arg == L"--repeat" && hasValue) {
            repeat = _wtoi(argv[++i]);
        } else if (arg == L"--window" && hasValue) {
            window = _wtoi(argv[++i]);
        } else {
            return Usage();
        }
    }
    if (options.dllPath.empty() || window <= 0) return Usage();

    if (repeat > 0) {
        int printed = 0;  // the first few failures in full
        const int failures = logonsim::RunSoak(options, repeat, window, [&](const logonsim::Outcome& outcome) {
            if (printed++ < 3) PrintOutcome(options, outcome);
        });
        std::printf("SOAK logons=%d failures=%d\n", repeat, failures);
        std::fflush(stdout);
        return failures == 0 ? 0 : 1;
    }
    const logonsim::LoadedDll dll(options.dllPath);
    if (!barrier.empty() && !logonsim::WaitAtBarrier(barrier, barrierCount, 300000)) {
        Print(L"logonsim: the other processes of the barrier did not arrive\n");
        return 1;
    }
    const logonsim::Outcome outcome = dll.Logon(options);
    if (!quiet) PrintOutcome(options, outcome);
    if (timings) std::printf("TIMING remote_us=%.0f logon_us=%.0f\n", outcome.remoteMicros, outcome.logonMicros);
    std::fflush(stdout);
    return outcome.ok ? 0 : 1;
}
