// printf-style formatting of diagnostic lines and registry key paths into fixed buffers.
// Only the conversions kq5 uses are supported: %d, %u, %x, %s, %S (wide text) and %%.
// %S is narrowed here, not by the C library: glibc's %S reads 32-bit wchar_t, the SDK's 16-bit.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "platform/platform.h"

inline constexpr size_t kDebugLineSize = 100;  // bytes, terminator included
inline constexpr size_t kKeyPathSize = 500;    // bytes, terminator included

struct FormatArg {
    enum class Kind { Integer, Narrow, Wide };
    Kind kind;
    long long integer = 0;
    const char* narrow = nullptr;
    const WCHAR* wide = nullptr;

    template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
    FormatArg(T value) : kind(Kind::Integer), integer(static_cast<long long>(value)) {}
    FormatArg(const char* text) : kind(Kind::Narrow), narrow(text) {}
    FormatArg(const WCHAR* text) : kind(Kind::Wide), wide(text) {}
};

struct FormatResult {
    size_t length;  // bytes the whole text needs, terminator excluded
    bool lossy;     // a wide character outside ASCII was replaced by '?'
};

// Writes at most size - 1 bytes plus a terminator (nothing when size is 0).
FormatResult FormatText(char* buffer, size_t size, const char* format,
                        std::initializer_list<FormatArg> args);

struct DebugLine {
    char text[kDebugLineSize];
    size_t length;  // bytes in text, terminator excluded
};

// A line longer than the buffer is cut at 99 bytes and stays terminated.
template <typename... Args>
DebugLine FormatDebugLine(const char* format, Args... args) {
    DebugLine line{};
    const FormatResult result =
        FormatText(line.text, sizeof line.text, format, {FormatArg(args)...});
    line.length = result.length < sizeof line.text ? result.length : sizeof line.text - 1;
    return line;
}

// Turns the debugger output channel of this process off (or on again). Only programs other than
// the service turn it off (kq5doctor), so that a debug viewer watching kq5 sees the service alone.
void SilenceDebugOutput(bool silenced);
bool DebugOutputSilenced();

// Formats a line and writes it to the debugger output channel.
template <typename... Args>
void DebugPrint(const char* format, Args... args) {
    if (DebugOutputSilenced()) {
        return;
    }
    const DebugLine line = FormatDebugLine(format, args...);
    OutputDebugStringA(line.text);
}

struct KeyPath {
    char text[kKeyPathSize];
};

// False when the path does not fit the buffer whole or its argument is not ASCII: a cut or
// altered path could name another key, so such a path must never be looked up.
bool FormatKeyPath(KeyPath& path, const char* format, const WCHAR* argument);
