// One end-to-end logon road: the stand-in agent answering from a scenario, the stand-in LogonUI
// driving the simulation build of the module, each in a process of its own, and what the
// simulated system recorded (message boxes, disconnects, signals).
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

struct Road {
    CORE::PropertyBag scenario;                     // the agent's answers (AgentServer.h)
    bool startAgent = true;
    std::map<std::wstring, DWORD> system;           // simulated session: SessionId, ClientProtocol, ...
    std::map<std::wstring, std::wstring> systemText;  // the same, text values (NodeManagerAccountSid)
    std::map<std::wstring, std::wstring> settings;  // Agent\Configuration values for this run
    std::vector<std::wstring> logonsimArguments;    // after --dll tcfiltr_sim.dll
};

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // what logonsim printed
    ULONGLONG milliseconds = 0;
    std::map<std::wstring, DWORD> records;  // the simulation's Record values
};

// Runs the road; the agent (when started) and every setting are gone again afterwards.
Outcome Drive(const Road& road);

// An answer bag from name/value pairs.
CORE::PropertyBag Bag(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> items);
// A scenario entry for one operation: its answer, and extra entry items ("protect", ...).
void Answer(CORE::PropertyBag& scenario, const wchar_t* operation, const CORE::PropertyBag& answer,
            std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> entry = {});

}  // namespace e2e
