// Small text helpers the programs share: a number in hexadecimal, text narrowed or folded as
// ASCII, milliseconds as seconds, a path as its UTF-8 bytes. Standard C++ only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

// "0x" and the value in lower-case hexadecimal, without leading zeros.
inline std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Wide text as narrow, every character outside ASCII as '?'.
template <typename WideText>
requires requires(const WideText& text) {
    text.begin();
}
std::string Narrow(const WideText& text) {
    std::string narrow;
    for (const auto c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

// The text with A-Z folded to a-z, everything else as it was (Windows' names compare this way).
template <typename Text>
Text FoldedAscii(Text text) {
    for (auto& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<typename Text::value_type>(c - 'A' + 'a') : c;
    }
    return text;
}
// Whole-text equality folding only A-Z to a-z; every other code unit must match exactly.
template <typename Text>
bool EqualsFoldingAscii(const Text& left, const Text& right) {
    return left.size() == right.size() && FoldedAscii(left) == FoldedAscii(right);
}
inline std::string LowerAscii(const std::string& text) {
    return FoldedAscii(text);
}
inline std::wstring LowerAscii(const std::wstring& text) {
    return FoldedAscii(text);
}

// Milliseconds as seconds with three decimals: "12.345".
inline std::string MsAsSeconds(std::uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

// A path as UTF-8 text, for messages and names (never an exception, whatever its characters).
inline std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
