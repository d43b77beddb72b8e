#include "lib/mfw/common/config/sysconfig.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/LogSink.h"

namespace CORE {

sysconfig::sysconfig(std::wstring location, const std::vector<std::wstring>& entries, bool watch, bool usePolicy,
                     std::function<void()> changed)
    : location_(std::move(location)), usePolicy_(usePolicy), changed_(std::move(changed)) {
    for (const auto& text : entries) {
        size_t equals = text.find(L'=');
        Entry entry;
        entry.key = text.substr(0, equals);
        if (equals != std::wstring::npos) entry.defaultValue = text.substr(equals + 1);
        entry.value = entry.defaultValue;
        entries_.push_back(std::move(entry));
    }
    Load();
    if (watch) {
        // Last step: from here on the watcher thread may call back into this object.
        bool ok = configWatch::Instance().AddWatch(location_, this);
        std::lock_guard<std::mutex> guard(lock_);
        watched_ = ok;
    }
}

sysconfig::~sysconfig() { configWatch::Instance().RemoveWatch(this); }

void sysconfig::Load() noexcept {
    try {
        std::lock_guard<std::mutex> loading(loadLock_);
        std::vector<std::pair<std::wstring, std::wstring>> keys;
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto& entry : entries_) keys.emplace_back(entry.key, entry.defaultValue);
        }
        // The registry is read without the lock; readers keep the old values meanwhile.
        std::vector<std::wstring> values;
        values.reserve(keys.size());
        for (const auto& [key, defaultValue] : keys) {
            std::wstring path = location_ + L"\\" + key;
            values.push_back(usePolicy_ ? ReadPolicyValue(path, defaultValue) : ReadRegistryValue(path, defaultValue));
        }
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = 0; i < entries_.size() && i < values.size(); ++i) entries_[i].value = std::move(values[i]);
    } catch (...) {
        // Out of memory: the table keeps what it had.
    }
}

std::wstring sysconfig::Get(const wchar_t* key) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : entries_)
        if (key && _wcsicmp(entry.key.c_str(), key) == 0) return entry.value;
    return std::wstring();
}

bool sysconfig::GetBool(const wchar_t* key) const { return ParseBool(Get(key)); }

unsigned long sysconfig::GetUInt(const wchar_t* key) const { return ParseUInt(Get(key), true); }

long sysconfig::GetInt(const wchar_t* key) const { return ParseInt(Get(key), true); }

bool sysconfig::IsWatched() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return watched_;
}

void sysconfig::OnConfigKeyChanged() {
    Load();
    if (!changed_) return;
    try {
        changed_();
    } catch (...) {
        LogToSink(LOG_ERROR, L"error in sysconfig: EXCEPTION in changed callback");
    }
}

}  // namespace CORE
