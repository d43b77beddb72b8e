#include "SimDescriptions.h"

#include "SimPlatform.h"

#include "../UniqueResource.h"

#include <algorithm>

namespace platform::sim {

namespace {

unique_hkey OpenKey(HKEY parent, const std::wstring& name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return unique_hkey();
    return unique_hkey(key);
}

std::vector<BYTE> Bytes(HKEY key, const wchar_t* value, DWORD type) {
    DWORD size = 0;
    if (::RegGetValueW(key, nullptr, value, type, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    if (::RegGetValueW(key, nullptr, value, type, nullptr, data.data(), &size) != ERROR_SUCCESS) return {};
    data.resize(size);
    return data;
}

std::wstring Text(HKEY key, const wchar_t* value) {
    std::vector<BYTE> data = Bytes(key, value, RRF_RT_REG_SZ);
    if (data.size() < sizeof(wchar_t)) return L"";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

DWORD Number(HKEY key, const wchar_t* value, DWORD otherwise) {
    DWORD data = 0, size = sizeof(data);
    return ::RegGetValueW(key, nullptr, value, RRF_RT_REG_DWORD, nullptr, &data, &size) == ERROR_SUCCESS ? data
                                                                                                         : otherwise;
}

// The subkeys of `parent\name`, opened, in the order of their names.
std::vector<unique_hkey> Children(HKEY parent, const wchar_t* name) {
    std::vector<unique_hkey> children;
    unique_hkey key = OpenKey(parent, name);
    if (!key) return children;
    std::vector<std::wstring> names;
    wchar_t child[256];
    for (DWORD i = 0;; ++i) {
        DWORD chars = 256;
        if (::RegEnumKeyExW(key.get(), i, child, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(child, chars);
    }
    std::sort(names.begin(), names.end());
    for (const auto& n : names)
        if (unique_hkey opened = OpenKey(key.get(), n)) children.push_back(std::move(opened));
    return children;
}

// The REG_SZ values of `parent\name` as a map.
std::map<std::wstring, std::wstring> TextValues(HKEY parent, const wchar_t* name) {
    std::map<std::wstring, std::wstring> values;
    unique_hkey key = OpenKey(parent, name);
    wchar_t value[256];
    for (DWORD i = 0; key; ++i) {
        DWORD chars = 256;
        if (::RegEnumValueW(key.get(), i, value, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        values[std::wstring(value, chars)] = Text(key.get(), value);
    }
    return values;
}

cardsim::CardReader ReadReader(HKEY key) {
    cardsim::CardReader reader;
    reader.name = Text(key, L"Name");
    reader.state = Number(key, L"State", SCARD_STATE_PRESENT);
    reader.atr = Bytes(key, L"Atr", RRF_RT_REG_BINARY);
    reader.cardType = Text(key, L"CardType");
    reader.csp = Text(key, L"Csp");
    reader.ksp = Text(key, L"Ksp");
    for (const unique_hkey& c : Children(key, L"Containers"))
        reader.containers.push_back({Text(c.get(), L"KeyName"), Bytes(c.get(), L"Certificate", RRF_RT_REG_BINARY),
                                     Number(c.get(), L"LegacyKeySpec", AT_KEYEXCHANGE)});
    return reader;
}

}  // namespace

cardsim::CardServiceDescription ReadCardDescription() {
    unique_hkey root = OpenKey(HKEY_LOCAL_MACHINE, SimKeyPath());
    unique_hkey cards = root ? OpenKey(root.get(), L"Cards") : unique_hkey();
    if (!cards) return cardsim::NoCardService();
    cardsim::CardServiceDescription description;
    description.running = Number(cards.get(), L"Running", 1) != 0;
    description.startsAfterMs = Number(cards.get(), L"StartsAfterMs", 0);
    for (const unique_hkey& r : Children(cards.get(), L"Readers")) description.readers.push_back(ReadReader(r.get()));
    return description;
}

std::optional<dirsim::DirectoryDescription> ReadDirectoryDescription() {
    unique_hkey root = OpenKey(HKEY_LOCAL_MACHINE, SimKeyPath());
    unique_hkey key = root ? OpenKey(root.get(), L"Directory") : unique_hkey();
    if (!key) return std::nullopt;
    dirsim::DirectoryDescription description;
    for (const unique_hkey& a : Children(key.get(), L"Accounts")) {
        dirsim::DirectoryAccount account{Text(a.get(), L"Sid"), Text(a.get(), L"Name"), Text(a.get(), L"Domain")};
        description.bySid.push_back(account);
        if (std::wstring upn = Text(a.get(), L"Upn"); !upn.empty()) description.byUpn[upn] = account;
    }
    description.dcDomains = TextValues(key.get(), L"DcDomains");
    description.canonical = TextValues(key.get(), L"Canonical");
    return description;
}

}  // namespace platform::sim
