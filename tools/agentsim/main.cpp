// agentsim: the stand-in node manager and desktop manager of the agent, as a program of its
// own. Usage:
//   agentsim --instance NAME [--scenario FILE] [--parent PID] [--time-limit SECONDS]
//            [--ready EVENT] [--no-rpc] [--no-legacy]
// It serves until its parent process ends, the time limit (default 300 s) passes, or it is
// killed, so a test run never leaves it behind. --ready names an event it sets once listening.
// The scenario file is a property bag in its XML form (AgentServer.h), UTF-8 or UTF-16. With an
// "entra" bag it also serves the Entra RPC interface of this session (EntraService.h).
#include "AgentServer.h"
#include "EntraService.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool ReadScenario(const std::wstring& path, CORE::PropertyBag* scenario) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    platform::unique_hfile guard(file);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart > (16 << 20)) return false;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()))
        return false;
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    } else {
        size_t skip = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), nullptr, 0);
        text.resize(static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), text.data(), n);
    }
    return scenario->FromXml(text);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    agentsim::AgentServer::Options options;
    DWORD parent = 0, timeLimit = 300;
    std::wstring ready, scenarioPath;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto next = [&]() -> std::wstring { return i + 1 < argc ? std::wstring(argv[++i]) : std::wstring(); };
        if (arg == L"--instance") options.instance = next();
        else if (arg == L"--scenario") scenarioPath = next();
        else if (arg == L"--parent") parent = static_cast<DWORD>(CORE::ParseUInt(next(), false));
        else if (arg == L"--time-limit") timeLimit = static_cast<DWORD>(CORE::ParseUInt(next(), false));
        else if (arg == L"--ready") ready = next();
        else if (arg == L"--no-rpc") options.rpcListener = false;
        else if (arg == L"--no-legacy") options.legacyListener = false;
        else {
            std::fwprintf(stderr, L"agentsim: unknown argument %ls\n", arg.c_str());
            return 2;
        }
    }
    if (!scenarioPath.empty() && !ReadScenario(scenarioPath, &options.scenario)) {
        std::fwprintf(stderr, L"agentsim: cannot read the scenario %ls\n", scenarioPath.c_str());
        return 2;
    }
    platform::unique_handle parentProcess;
    if (parent) {
        parentProcess.reset(::OpenProcess(SYNCHRONIZE, FALSE, parent));
        if (!parentProcess) return 3;  // the parent is already gone
    }
    agentsim::AgentServer server;
    if (!server.Start(options)) {
        std::fwprintf(stderr, L"agentsim: cannot listen as instance '%ls'\n", options.instance.c_str());
        return 1;
    }
    agentsim::EntraService entra;
    DWORD sessionId = 0;
    if (options.scenario.TypeOf(L"entra") == 2 &&
        (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId) ||
         !entra.Start(sessionId, agentsim::EntraService::FromScenario(options.scenario.GetBag(L"entra"))))) {
        std::fwprintf(stderr, L"agentsim: cannot serve the Entra RPC interface of session %lu\n", sessionId);
        return 1;
    }
    if (!ready.empty()) {
        platform::unique_handle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str()));
        if (event) ::SetEvent(event.get());
    }
    std::fwprintf(stdout, L"agentsim: listening as '%ls'\n", options.instance.c_str());
    std::fflush(stdout);
    const DWORD limitMs = timeLimit ? timeLimit * 1000 : INFINITE;
    if (parentProcess)
        ::WaitForSingleObject(parentProcess.get(), limitMs);
    else
        ::Sleep(limitMs);
    entra.Stop();
    server.Stop();
    CORE::WaitForLibraryThreads(5000);
    return 0;
}
