// A scripted desktop manager for in-process tests: answers each message name with a result
// code and an answer bag, and records every request it was sent.
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"
#include "sso/Credentials.h"
#include "sso/DesktopManagerTransport.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// An answer or request bag from name/value pairs.
inline CORE::PropertyBag Bag(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> items) {
    CORE::PropertyBag bag;
    for (const auto& [name, value] : items) bag.Set(name, value);
    return bag;
}

class ScriptedAgent : public IDesktopManagerTransport {
public:
    // A new agent: what the last one failed to answer is forgotten.
    ScriptedAgent() {
        previous_ = SetDesktopManagerTransport(this);
        TheCredentials().agentUnanswered = false;
    }
    ~ScriptedAgent() override { SetDesktopManagerTransport(previous_); }

    // What the agent answers to `message`; unscripted messages get result 3 (no queue handler).
    void Answer(const std::wstring& message, const CORE::PropertyBag& answer, DWORD result = 0) {
        std::lock_guard<std::mutex> guard(lock_);
        script_[message] = {result, answer};
    }

    bool throws = false;  // every Send throws, as a broken transport might

    struct Sent { std::wstring message; CORE::PropertyBag request; DWORD timeoutMs; };

    std::vector<Sent> Requests() {
        std::lock_guard<std::mutex> guard(lock_);
        return sent_;
    }
    size_t CountOf(const std::wstring& message) {
        const auto sent = Requests();
        return std::count_if(sent.begin(), sent.end(), [&](const Sent& s) { return s.message == message; });
    }

    DWORD Send(const wchar_t* messageName, CORE::PropertyBag& request, CORE::PropertyBag& response,
               DWORD timeoutMs) override {
        std::lock_guard<std::mutex> guard(lock_);
        sent_.push_back({messageName, request, timeoutMs});
        if (throws) throw std::runtime_error("the agent's transport broke");
        auto found = script_.find(messageName);
        if (found == script_.end()) return 3;
        response = found->second.second;
        return found->second.first;
    }

private:
    std::mutex lock_;
    std::map<std::wstring, std::pair<DWORD, CORE::PropertyBag>> script_;  // result, answer
    std::vector<Sent> sent_;
    IDesktopManagerTransport* previous_ = nullptr;
};

}  // namespace testsupport
