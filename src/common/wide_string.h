// UTF-16 text, the form in which kq5 keeps every name, path and port name.
#pragma once

#include <string>

#include "platform/platform.h"

using WideString = std::basic_string<WCHAR>;

// Whole-string equality that folds only the ASCII letters A-Z to a-z; every other code unit
// must match exactly. Locale rules (as in _wcsicmp) would fold more than the registry does.
bool EqualsIgnoringAsciiCase(const WideString& left, const WideString& right);

bool Contains(const WideString& text, const WCHAR* part);

// Converts narrow text of the calling thread's ANSI code page to UTF-16. Empty on failure.
WideString WideFromNarrow(const char* text, size_t length);
