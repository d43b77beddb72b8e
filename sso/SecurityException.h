// The failure of a payload decryption, with the text that the wide entry point logs. It is a
// library exception, so a COM boundary that catches those catches it too.
#pragma once
#include "lib/mfw/common/util/coreException.h"

class SecurityException : public CORE::coreException {
public:
    explicit SecurityException(const char* text) : CORE::coreException(text) {}
};
