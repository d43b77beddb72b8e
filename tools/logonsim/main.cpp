// logonsim: plays LogonUI against a credential provider DLL and prints what happened.
//   logonsim --dll <path> [--scenario logon|unlock|credui|changepassword] [--expect-tiles N] [--quiet]
// Exit code 0 only when every call went as LogonUI needs and every expectation held.
#include "LogonUiSession.h"

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
    Print(L"usage: logonsim --dll <path> [--scenario logon|unlock|credui|changepassword] [--expect-tiles N] [--quiet]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    logonsim::Options options;
    bool quiet = false;
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
        } else if (arg == L"--expect-tiles" && hasValue) {
            options.expectTiles = _wtoi(argv[++i]);
        } else if (arg == L"--quiet") {
            quiet = true;
        } else {
            return Usage();
        }
    }
    if (options.dllPath.empty()) return Usage();

    logonsim::Outcome outcome = logonsim::Run(options);
    if (!quiet) {
        Print(L"LogonUI stand-in: " + options.dllPath + L"\n");
        for (const auto& step : outcome.steps) {
            wchar_t line[768];
            _snwprintf(line, 767, L"  %-2s %-44s %-14s %s\n", step.ok ? L"" : L"!!", step.call.c_str(),
                       logonsim::HResultText(step.hr).c_str(), step.detail.c_str());
            line[767] = L'\0';
            Print(line);
        }
        if (outcome.providerAllowed)
            Print(outcome.tileCount == 0 ? L"  -> the provider offers no tile: no SSO material for this session\n"
                                         : L"  -> the provider offers its SSO tile\n");
        Print(std::wstring(L"RESULT: ") + (outcome.ok ? L"OK" : L"FAILED") + L"\n");
    }
    std::fflush(stdout);
    return outcome.ok ? 0 : 1;
}
