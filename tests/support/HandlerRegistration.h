// Registers the test credential handler DLL with COM (in the prefix's HKCR, shared by all
// tests: the values are the same every time) and under the provider's CredentialHandlers key
// (in the test's private HKLM), and reads what the handlers saw.
#pragma once
#include "RegistrySandbox.h"

#include <string>

namespace testsupport {

// "7e57a001-0000-4000-8000-00000000000N" for N = 1 ('a') .. 4 ('d').
std::wstring TestHandlerClsid(wchar_t kind);
// COM registration of tc_test_handler.dll beside the test program; false when it is missing.
bool RegisterTestHandlerClasses();
// Registers the same DLL as the system's remote logon filter, which Wine does not have.
bool RegisterFakeRemoteLogonFilter();
// A subkey of the CredentialHandlers key; `name` as written there (with or without braces).
void AddHandlerKey(RegistrySandbox& registry, const std::wstring& name, const wchar_t* disabled = nullptr);
// The calls the loaded handler DLL recorded ("" when it is not loaded).
std::wstring TestHandlerCalls();
void ResetTestHandlerCalls();

}  // namespace testsupport
