#include "common/wide_string.h"

#include "common/text.h"

#include <climits>

bool EqualsIgnoringAsciiCase(const WideString& left, const WideString& right) {
    return EqualsFoldingAscii(left, right);
}

bool Contains(const WideString& text, const WCHAR* part) {
    return text.find(part) != WideString::npos;
}

WideString WideFromNarrow(const char* text, size_t length) {
    if (length == 0 || length > INT_MAX) {
        return WideString();
    }
    // No ANSI code page yields more UTF-16 units than it has bytes, so one call suffices.
    WideString wide(length, WCHAR(0));
    const int written = MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(length),
                                            wide.data(), static_cast<int>(length));
    if (written <= 0) {
        return WideString();
    }
    wide.resize(static_cast<size_t>(written));
    return wide;
}
