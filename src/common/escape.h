// The one escaping of raw debugger and output bytes for display: line breaks as \n and \r, other
// bytes outside printable ASCII as \xNN. The simulator's timeline and kq5trace both use it, so a
// captured line reads byte for byte as the simulated one.
#pragma once

#include <cstddef>
#include <string>

inline std::string EscapeBytes(const char* text, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline std::string EscapeBytes(const std::string& text) {
    return EscapeBytes(text.data(), text.size());
}
