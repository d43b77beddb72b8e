// The credential provider declarations: the Windows SDK's header where it exists, else ours.
#pragma once
#include <windows.h>
#if __has_include(<credentialprovider.h>)
#include <credentialprovider.h>
#else
#include "CredentialProviderDecl.h"
#endif
