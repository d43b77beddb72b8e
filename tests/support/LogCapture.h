// Collects the log records of the process while it lives, for assertions on log lines.
#pragma once
#include "lib/mfw/common/log/SysMessage.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// For failure messages: anything outside ASCII becomes '?'.
inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

class LogCapture : public CORE::ILogObserver {
public:
    // `everyLevel`: also the records the settings keep out of the files (TRACE by default).
    explicit LogCapture(bool everyLevel = true) { previous_ = CORE::SetLogObserver(this, everyLevel); }
    ~LogCapture() override { CORE::SetLogObserver(previous_); }

    void OnLogRecord(int level, const std::wstring& text) override {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back({level, text});
    }
    // Records whose text contains `fragment` (at `level` when it is >= 0).
    size_t Count(const std::wstring& fragment, int level = -1) const {
        std::lock_guard<std::mutex> guard(lock_);
        return std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
            return (level < 0 || line.first == level) && line.second.find(fragment) != std::wstring::npos;
        });
    }
    bool Contains(const std::wstring& fragment, int level = -1) const { return Count(fragment, level) > 0; }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }
    std::wstring Dump() const {
        std::lock_guard<std::mutex> guard(lock_);
        std::wstring all;
        for (const auto& [level, text] : lines_) all += std::to_wstring(level) + L" " + text + L"\n";
        return all;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::pair<int, std::wstring>> lines_;  // level, text
    CORE::ILogObserver* previous_ = nullptr;
};

}  // namespace testsupport
