// The service's diagnostic texts, byte for byte: the formats it writes its debugger and output
// lines with, and the two code page 936 messages. The service writes them from here; the trace
// reader, the swarm's checker and the simulation's timeline know the lines again by the same texts.
#pragma once

#include <string_view>

namespace diagnostics {

inline constexpr char kStatusFormat[] = "KQ5 STATUS:%d\r\n";
inline constexpr char kOpenErrorFormat[] = " Open Printer Error :GetLastError() returns: 0x%x\n";
inline constexpr char kRegistryErrorFormat[] = "GetLastError:%d\r\n";
inline constexpr char kDevicePathFormat[] = " DevicePath:%S\n";
inline constexpr char kMainErrorFormat[] = " MainError:%d\n";
inline constexpr char kGetPrinterHandle[] = "GetPrinterHandle";

// Code page 936 (GBK) bytes, kept as escapes so that no source encoding can change them.
// "打开打印机失败!": opening the printer failed (written to the standard output).
inline constexpr char kOpenFailedMessage[] =
    "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!";
// "获得PRINTER_INFO_2的数组失败!": getting the PRINTER_INFO_2 array failed.
inline constexpr char kReadFailedMessage[] =
    "\xBB\xF1\xB5\xC3PRINTER_INFO_2\xB5\xC4\xCA\xFD\xD7\xE9\xCA\xA7\xB0\xDC!";

// Where `format`'s one conversion starts, or its length. A plain loop: libstdc++'s
// string_view::find is not a constant expression under GCC's address sanitizer.
constexpr size_t ConversionAt(std::string_view format) {
    size_t at = 0;
    while (at < format.size() && format[at] != '%') {
        ++at;
    }
    return at;
}

// What a line written with `format` holds before its one conversion, and after it.
constexpr std::string_view PrefixOf(std::string_view format) {
    return format.substr(0, ConversionAt(format));
}
constexpr std::string_view SuffixOf(std::string_view format) {
    const size_t at = ConversionAt(format);
    return at == format.size() ? std::string_view() : format.substr(at + 2);
}

inline constexpr std::string_view kStatusPrefix = PrefixOf(kStatusFormat);
inline constexpr std::string_view kOpenErrorPrefix = PrefixOf(kOpenErrorFormat);
inline constexpr std::string_view kRegistryErrorPrefix = PrefixOf(kRegistryErrorFormat);
inline constexpr std::string_view kDevicePathPrefix = PrefixOf(kDevicePathFormat);
inline constexpr std::string_view kMainErrorPrefix = PrefixOf(kMainErrorFormat);

}  // namespace diagnostics
