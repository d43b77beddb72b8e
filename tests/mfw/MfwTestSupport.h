// Shared set-up of the library's tests: the registry roots, small text and file helpers, and
// for the channel and framework tests the fake platform (test security package, a node
// manager instance of this process), a private HKLM for the settings, and the stand-in node
// manager's server code running on threads of this process.
#pragma once
#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/threads/corerunnable.h"
#include "lib/mfw/common/threads/coretimer.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/wire/Message.h"
#include "tools/agentsim/AgentServer.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace mfwtest {

// Lets every channel of the test go before the fake platform that authenticated it: receive
// threads end (none is kept for reuse) and the timer thread stops.
inline void EndChannelThreads() {
    CORE::MessageChannel::StopParkedReceivers();
    CORE::ShutdownTimerService();
    EXPECT_TRUE(CORE::WaitForLibraryThreads(15000));
}

constexpr const wchar_t* kRootKey = L"Software\\Velmora\\Zephral";
constexpr const wchar_t* kLogKey = L"Software\\Velmora\\Zephral\\Log";
constexpr const wchar_t* kNodeManagerKey = L"Software\\Velmora\\Zephral\\Node Manager";
constexpr const wchar_t* kNodeManagerPath = L"HKLM\\Software\\Velmora\\Zephral\\Node Manager";

using testsupport::Narrow;
inline bool Has(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// Creates (or replaces) a file holding `bytes`.
inline void WriteBytes(const std::wstring& path, const std::string& bytes = std::string()) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}
// A bag of strings in one expression.
inline CORE::PropertyBag Bag(std::initializer_list<std::pair<const wchar_t*, std::wstring>> items) {
    CORE::PropertyBag bag;
    for (const auto& item : items) bag.Set(item.first, item.second);
    return bag;
}

inline bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct ChannelFixture : testing::Test {
    static constexpr const wchar_t* kAuthenticateKey = L"Software\\Velmora\\Zephral\\Authenticate";

    void SetUp() override {
        // In-process tests use the legacy connect unless they ask for RPC.
        registry.SetString(kNodeManagerKey, L"disableRPCSharedMemListener", L"true");
        CORE::InvalidateChannelSettings();  // settings are kept for a few seconds
    }
    void TearDown() override {
        server.Stop();
        EndChannelThreads();
    }

    // A channel setting, read at once (settings are otherwise kept for a few seconds).
    void Setting(const std::wstring& key, const wchar_t* name, const wchar_t* value) {
        registry.SetString(key, name, value);
        CORE::InvalidateChannelSettings();
    }
    bool StartServer(const CORE::PropertyBag& scenario, bool rpc = false) {
        return server.Start({fake.nodeManagerInstance, scenario, rpc, /*legacyListener=*/true});
    }

    // The scenario with one entry of a section set: a string of its "server" knobs or the bag of
    // one of its "DesktopManager" operations.
    template <typename Value>
    static CORE::PropertyBag With(CORE::PropertyBag scenario, const wchar_t* section, const std::wstring& name, const Value& value) {
        CORE::PropertyBag entries = scenario.TypeOf(section) == CORE::PropertyBag::ITEM_BAG ? scenario.GetBag(section) : CORE::PropertyBag();
        if constexpr (std::is_same_v<Value, CORE::PropertyBag>) entries.SetBag(name, value);
        else entries.Set(name, value);
        return scenario.SetBag(section, entries), scenario;
    }

    testsupport::FakePlatform fake;
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;
    agentsim::AgentServer server;
};

}  // namespace mfwtest
