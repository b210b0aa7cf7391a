// The two path transforms against a plain reference written from their description.
#include <cstdlib>
#include <optional>

#include "device/device.h"
#include "fuzz_input.h"

namespace {

const std::u16string kSuffix = u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::optional<std::u16string> ReferenceInterfaceKey(const std::u16string& path) {
    std::u16string out;
    std::optional<size_t> lastHash;
    for (char16_t c : path) {
        if (c == u'\\' || c == u'#') {
            lastHash = out.size();
        }
        out += (c == u'\\') ? u'#' : c;
    }
    if (!lastHash) {
        return std::nullopt;
    }
    return out.substr(0, *lastHash) + kSuffix;
}

std::optional<std::u16string> ReferenceInstanceId(const std::u16string& path) {
    std::optional<size_t> lastHash;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == u'#') {
            lastHash = i;
        }
    }
    if (!lastHash) {
        return std::nullopt;
    }
    std::u16string out;
    for (size_t i = 0; i < *lastHash; ++i) {
        out += path[i] == u'#' ? u'\\' : path[i];
    }
    return out.size() <= 4 ? std::u16string() : out.substr(4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::u16string path = in.Byte() & 1 ? in.PathLike(600) : in.Text16(600);
    const std::u16string before = path;
    const auto key = InterfaceKeyFromPath(path);
    const auto id = DeviceInstanceIdFromPath(path);
    if (key != ReferenceInterfaceKey(path) || id != ReferenceInstanceId(path) || path != before) {
        std::abort();
    }
    return 0;
}
