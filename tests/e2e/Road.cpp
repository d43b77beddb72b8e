#include "Road.h"

#include "support/AgentSimProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace e2e {
namespace {

const wchar_t kConfigKey[] = L"Software\\Velmora\\Zephral\\Agent\\Configuration";

std::wstring ProgramDirectory() {
    wchar_t self[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Runs logonsim with its output on a pipe; gives up (and kills it) after the time limit.
DWORD RunLogonsim(const std::vector<std::wstring>& arguments, std::string* output, DWORD timeoutMs) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 0xFFFFFFFF;
    platform::unique_handle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring command = L"\"" + ProgramDirectory() + L"logonsim.exe\" --dll tcfiltr_sim.dll";
    for (const auto& argument : arguments) command += L" \"" + argument + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, ProgramDirectory().c_str(),
                          &startup, &info))
        return 0xFFFFFFFF;
    ::CloseHandle(info.hThread);
    platform::unique_handle process(info.hProcess);
    writer.reset();  // only the child holds the write end now: reading ends when it exits
    std::thread drain([&] {
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0) output->append(buffer, read);
    });
    const bool finished = ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
    if (!finished) ::TerminateProcess(process.get(), 0xDEAD);
    drain.join();
    if (!finished) output->append("\n*** logonsim did not finish in time\n");
    DWORD exitCode = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return exitCode;
}

void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

CORE::PropertyBag Bag(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> items) {
    CORE::PropertyBag bag;
    for (const auto& [name, value] : items) bag.Set(name, value);
    return bag;
}

void Answer(CORE::PropertyBag& scenario, const wchar_t* operation, const CORE::PropertyBag& answer,
            std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> entry) {
    CORE::PropertyBag operations = scenario.TypeOf(L"DesktopManager") == CORE::PropertyBag::ITEM_BAG
                                       ? scenario.GetBag(L"DesktopManager")
                                       : CORE::PropertyBag();
    CORE::PropertyBag item = Bag(entry);
    item.SetBag(L"answer", answer);
    operations.SetBag(operation, item);
    scenario.SetBag(L"DesktopManager", operations);
}

Outcome Drive(const Road& road) {
    static std::atomic<int> counter{0};
    const std::wstring tag = L"e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    const std::wstring simKey = L"Software\\TcfiltrSim\\" + tag;

    // The simulated system of this run, found by the module through TCFILTR_SIM_KEY.
    SetString(simKey, L"NodeManagerInstance", tag);
    for (const auto& [name, value] : road.system)
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, simKey.c_str(), name.c_str(), REG_DWORD, &value, sizeof(value));
    for (const auto& [name, value] : road.systemText) SetString(simKey, name, value);
    for (const auto& [name, value] : road.settings) SetString(kConfigKey, name, value);
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", simKey.c_str());

    Outcome outcome;
    {
        testsupport::AgentSimProcess agent;
        if (road.startAgent) {
            EXPECT_TRUE(agent.Start(tag, road.scenario, 120));
        }
        const ULONGLONG start = ::GetTickCount64();
        outcome.exitCode = RunLogonsim(road.logonsimArguments, &outcome.output, 150000);
        outcome.milliseconds = ::GetTickCount64() - start;
    }

    platform::unique_hkey records;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (simKey + L"\\Record").c_str(), 0, KEY_READ, records.put()) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD nameLength = 256, type = 0, value = 0, size = sizeof(value);
            LSTATUS status = ::RegEnumValueW(records.get(), index, name, &nameLength, nullptr, &type,
                                             reinterpret_cast<BYTE*>(&value), &size);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status == ERROR_SUCCESS && type == REG_DWORD) outcome.records[name] = value;
        }
    }
    records.reset();
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", nullptr);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, simKey.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, simKey.c_str());
    for (const auto& setting : road.settings) ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kConfigKey, setting.first.c_str());
    return outcome;
}

}  // namespace e2e
