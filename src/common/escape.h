// The one escaping of raw debugger and output bytes for display: line breaks as \n and \r, other
// bytes outside printable ASCII as \xNN. The simulator's timeline and kq5trace both use it, so a
// captured line reads byte for byte as the simulated one.
#pragma once

#include <cstddef>
#include <string>

// The length of the UTF-8 sequence of a character other than ASCII at TEXT[AT], or 0 when the
// bytes there are none: cut, overlong, a surrogate, past U+10FFFF.
inline size_t Utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                          : lead >= 0xe0 && lead <= 0xef ? 3
                          : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                         : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (size_t i = at + 1; i < at + length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) {
            return 0;
        }
    }
    const unsigned char second = byte(at + 1);
    const bool overlong = (lead == 0xe0 && second < 0xa0) || (lead == 0xf0 && second < 0x90);
    const bool beyond = (lead == 0xed && second >= 0xa0) || (lead == 0xf4 && second >= 0x90);
    return overlong || beyond ? 0 : length;
}

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
