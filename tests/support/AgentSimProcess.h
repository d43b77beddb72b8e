// Runs agentsim.exe (next to the test program) as a separate process with a scenario, for
// the integration tests and benchmarks; kills it when the object goes.
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>

namespace testsupport {

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
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        scenarioPath_ = std::wstring(temp) + L"agentsim-scenario-" + tag + L".xml";
        std::wstring xml = scenario.IsEmpty() ? L"<PROPERTYBAG/>" : scenario.ToXml();
        {
            platform::unique_hfile file(::CreateFileW(scenarioPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            if (!file) return false;
            const BYTE bom[2] = {0xFF, 0xFE};
            DWORD written = 0;
            ::WriteFile(file.get(), bom, 2, &written, nullptr);
            ::WriteFile(file.get(), xml.data(), static_cast<DWORD>(xml.size() * sizeof(wchar_t)), &written, nullptr);
        }
        const std::wstring readyName = L"Local\\TcAgentSimReady." + tag;
        platform::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        std::wstring command = L"\"" + ExecutablePath() + L"\" --instance " + instance + L" --scenario \"" + scenarioPath_ +
                               L"\" --parent " + std::to_wstring(parentPid ? parentPid : ::GetCurrentProcessId()) +
                               L" --time-limit " + std::to_wstring(timeLimitSeconds) + L" --ready " + readyName + L" " +
                               extraArguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return false;
        ::CloseHandle(info.hThread);
        process_.reset(info.hProcess);
        pid_ = info.dwProcessId;
        HANDLE handles[2] = {ready.get(), process_.get()};
        return ::WaitForMultipleObjects(2, handles, FALSE, 30000) == WAIT_OBJECT_0;
    }
    void Kill() {
        if (!process_) return;
        ::TerminateProcess(process_.get(), 9);
        ::WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }
    // True when it ended by itself within the time.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr) {
        if (!process_ || ::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
        if (exitCode) ::GetExitCodeProcess(process_.get(), exitCode);
        return true;
    }
    DWORD Pid() const { return pid_; }

    static std::wstring ExecutablePath() {
        wchar_t self[MAX_PATH];
        DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path(self, length);
        return path.substr(0, path.find_last_of(L"\\/") + 1) + L"agentsim.exe";
    }

private:
    platform::unique_handle process_;
    DWORD pid_ = 0;
    std::wstring scenarioPath_;
};

}  // namespace testsupport
