#include "common/format.h"

#include <atomic>
#include <cstdint>

namespace {

std::atomic<bool> debugOutputSilenced{false};

// Appends to the buffer while there is room; always counts the full length.
struct Writer {
    char* buffer;
    size_t size;
    size_t length = 0;
    bool lossy = false;

    void Put(char c) {
        if (size != 0 && length < size - 1) {
            buffer[length] = c;
        }
        ++length;
    }
    void PutText(const char* text) {
        for (const char* p = text ? text : "(null)"; *p != '\0'; ++p) {
            Put(*p);
        }
    }
    void PutWide(const WCHAR* text) {
        if (text == nullptr) {
            PutText(nullptr);
            return;
        }
        for (const WCHAR* p = text; *p != 0; ++p) {
            if (*p < 0x80) {
                Put(static_cast<char>(*p));
            } else {
                Put('?');
                lossy = true;
            }
        }
    }
    void PutUnsigned(unsigned long long value, unsigned base) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0) {
            Put(digits[--count]);
        }
    }
    void Terminate() {
        if (size != 0) {
            buffer[length < size ? length : size - 1] = '\0';
        }
    }
};

}  // namespace

FormatResult FormatText(char* buffer, size_t size, const char* format,
                        std::initializer_list<FormatArg> args) {
    Writer out{buffer, size};
    const FormatArg* next = args.begin();
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out.Put(*p);
            continue;
        }
        const char conversion = *++p;
        if (conversion == '\0') {
            break;
        }
        if (conversion == '%') {
            out.Put('%');
            continue;
        }
        if (next == args.end()) {
            continue;  // a conversion without an argument prints nothing
        }
        const FormatArg& arg = *next++;
        switch (conversion) {
            case 'd':
                if (arg.kind == FormatArg::Kind::Integer) {
                    // As printf: the argument is taken as a 32-bit int.
                    const auto value = static_cast<std::int32_t>(arg.integer);
                    if (value < 0) {
                        out.Put('-');
                    }
                    const long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
                    out.PutUnsigned(static_cast<unsigned long long>(magnitude), 10);
                }
                break;
            case 'u':
            case 'x':
                if (arg.kind == FormatArg::Kind::Integer) {
                    out.PutUnsigned(static_cast<std::uint32_t>(arg.integer),
                                    conversion == 'x' ? 16 : 10);
                }
                break;
            case 's':
                if (arg.kind == FormatArg::Kind::Narrow) {
                    out.PutText(arg.narrow);
                }
                break;
            case 'S':
                if (arg.kind == FormatArg::Kind::Wide) {
                    out.PutWide(arg.wide);
                }
                break;
            default:
                break;
        }
    }
    out.Terminate();
    return FormatResult{out.length, out.lossy};
}

bool FormatKeyPath(KeyPath& path, const char* format, const WCHAR* argument) {
    const FormatResult result = FormatText(path.text, sizeof path.text, format, {argument});
    return result.length < sizeof path.text && !result.lossy;
}

void SilenceDebugOutput(bool silenced) {
    debugOutputSilenced.store(silenced);
}

bool DebugOutputSilenced() {
    return debugOutputSilenced.load();
}
