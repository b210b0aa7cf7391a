// Reading one registry string value of a key under HKEY_LOCAL_MACHINE, as narrow text in a
// fixed buffer, converted to UTF-16.
#pragma once

#include "common/wide_string.h"

enum class RegistryRead {
    NoKey,    // the key path does not fit, or the key cannot be opened: silent
    NoValue,  // the key has no such value: "GetLastError:%d\r\n" with its status has been written
    TooLong,  // the value does not fit the buffer: written as for NoValue
    Failed,   // the query failed otherwise: written as for NoValue
    Read,
};

// `keyFormat` has one %S, filled with `keyArgument`. A path that does not fit the key buffer
// is never looked up: a cut path could name another key.
RegistryRead ReadRegistryText(const char* keyFormat, const WideString& keyArgument,
                              const char* valueName, WideString& text);
