// Runs the programs beside the test program (agentsim.exe, logonsim.exe) as processes of their
// own, for the integration tests and benchmarks; an agent is killed when its object goes.
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

// The test program's folder, ending with a backslash.
inline std::wstring ProgramDirectory() {
    wchar_t self[MAX_PATH];
    const std::wstring path(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Starts `program` of that folder; with `output`, its standard output and error go there.
inline platform::unique_handle Launch(const wchar_t* program, const std::wstring& arguments, HANDLE output = nullptr) {
    std::wstring command = L"\"" + ProgramDirectory() + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = output ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, output != nullptr, 0, nullptr,
                          ProgramDirectory().c_str(), &startup, &info))
        return {};
    ::CloseHandle(info.hThread);
    return platform::unique_handle(info.hProcess);
}

class AgentSimProcess {
public:
    AgentSimProcess() = default;
    ~AgentSimProcess() { Kill(); ::DeleteFileW(scenarioPath_.c_str()); }
    AgentSimProcess(const AgentSimProcess&) = delete;
    AgentSimProcess& operator=(const AgentSimProcess&) = delete;

    // Starts it as node manager `instance`; waits until it listens. `parentPid` 0: this process.
    bool Start(const std::wstring& instance, const CORE::PropertyBag& scenario, DWORD timeLimitSeconds = 120,
               DWORD parentPid = 0, const std::wstring& extraArguments = std::wstring()) {
        static int counter = 0;
        const std::wstring tag = std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        scenarioPath_ = (std::filesystem::temp_directory_path() / (L"agentsim-scenario-" + tag + L".xml")).wstring();
        const std::wstring xml = L"\xFEFF" + (scenario.IsEmpty() ? L"<PROPERTYBAG/>" : scenario.ToXml());
        std::ofstream(std::filesystem::path(scenarioPath_), std::ios::binary)
            .write(reinterpret_cast<const char*>(xml.data()), static_cast<std::streamsize>(xml.size() * 2));
        const std::wstring readyName = L"Local\\TcAgentSimReady." + tag;
        platform::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        const std::wstring parent = std::to_wstring(parentPid ? parentPid : ::GetCurrentProcessId());
        process_ = Launch(L"agentsim.exe", L"--instance " + instance + L" --scenario \"" + scenarioPath_ +
                                               L"\" --parent " + parent + L" --time-limit " +
                                               std::to_wstring(timeLimitSeconds) + L" --ready " + readyName + L" " +
                                               extraArguments);
        HANDLE handles[2] = {ready.get(), process_.get()};
        return process_ && ::WaitForMultipleObjects(2, handles, FALSE, 30000) == WAIT_OBJECT_0;
    }
    void Kill() {
        if (process_ && ::TerminateProcess(process_.get(), 9)) ::WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }
    // True when it ended by itself within the time.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
        return process_ && ::WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0 &&
               ::GetExitCodeProcess(process_.get(), exitCode);
    }
    DWORD Pid() const { return ::GetProcessId(process_.get()); }

private:
    platform::unique_handle process_;
    std::wstring scenarioPath_;
};

}  // namespace testsupport
