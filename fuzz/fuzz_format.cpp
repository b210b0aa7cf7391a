// Diagnostic lines and key paths with long and non-ASCII arguments: always terminated, never
// past their buffers, and a key path is either whole and exact or refused.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/format.h"
#include "fuzz_input.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::u16string argument = in.Text16(700);
    const auto number = static_cast<int32_t>(in.Word() | (in.Word() << 16));

    const DebugLine line = FormatDebugLine(" DevicePath:%S\n", argument.c_str());
    Check(line.length < kDebugLineSize && std::strlen(line.text) == line.length);
    Check(std::string(line.text).rfind(" DevicePath:", 0) == 0);
    for (size_t i = 0; i < line.length; ++i) {
        Check(static_cast<unsigned char>(line.text[i]) < 0x80);
    }
    const DebugLine code = FormatDebugLine("GetLastError:%d\r\n", number);
    Check(std::string(code.text) == "GetLastError:" + std::to_string(number) + "\r\n");

    bool ascii = true;
    std::string narrow;
    for (char16_t c : argument) {
        ascii = ascii && c < 0x80;
        narrow += static_cast<char>(c);
    }
    KeyPath path;
    const std::string prefix =
        "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";
    const bool formatted = FormatKeyPath(path, (prefix + "%S").c_str(), argument.c_str());
    Check(std::strlen(path.text) < kKeyPathSize);
    Check(formatted == (ascii && prefix.size() + argument.size() < kKeyPathSize));
    Check(!formatted || std::string(path.text) == prefix + narrow);
    return 0;
}
