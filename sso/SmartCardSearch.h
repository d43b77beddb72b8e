// Finds, on a card in one of the readers, the key container whose certificate carries one of
// the acceptable user principal names.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// 0 on success; 0xC0000385 no certificate, 0x8010002E no readers, 0x8010001D no smart card
// service, or the smart card error that stopped the search. `readerName` is in/out.
DWORD FindSmartCardCertificate(const std::vector<std::wstring>& acceptableUpns, const std::wstring& desiredSubject,
                               std::wstring& readerName, std::wstring& cardName, std::wstring& containerName,
                               std::wstring& providerName, DWORD* activityCount, DWORD* keySpec);
