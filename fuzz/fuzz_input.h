// Reads structured values out of a fuzzer's input, front to back; past the end it yields zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> bytes;
        while (count-- > 0 && at_ < size_) {
            bytes.push_back(data_[at_++]);
        }
        return bytes;
    }

    // Mostly the characters device paths are made of, now and then anything.
    std::u16string PathLike(size_t maxUnits) {
        static const char16_t kAlphabet[] = u"\\#?&_{}-usbvidp0483574100ABCxyz";
        const size_t count = Word() % (maxUnits + 1);
        std::u16string text;
        for (size_t i = 0; i < count && at_ < size_; ++i) {
            const uint8_t b = Byte();
            text += b < 250 ? kAlphabet[b % (sizeof kAlphabet / sizeof kAlphabet[0] - 1)]
                            : static_cast<char16_t>(Word() | 1);
        }
        return text;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};
