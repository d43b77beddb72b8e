// Copies a serialized credential into a new CoTaskMemAlloc buffer that the destination owns.
#pragma once
#include "platform/sdk/CredProv.h"

bool DuplicateSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* source,
                            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* destination) noexcept;
