// The key vault's secrets use the framework's wiping byte buffer.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"

namespace keyvault {
using CORE::SecureBytes;
using CORE::Wipe;
}  // namespace keyvault
