#include "doctor/words.h"

#include <span>

#include "common/text.h"
#include "events/win32_names.h"

namespace {

// The words of VALUE in TABLE; "unknown" for one Windows may add later.
const char* Words(std::span<const Win32Name> table, DWORD value) {
    const Win32Name* row = FindWin32Name(table, value);
    return row != nullptr ? row->words : "unknown";
}

}  // namespace

std::string ErrorWords(DWORD error) {
    const Win32Name* row = FindWin32Name(Win32Errors(), error);
    return row != nullptr ? Hex(error) + ": " + row->words : Hex(error);
}

std::vector<std::string> StatusWords(DWORD status) {
    std::vector<std::string> words;
    DWORD known = 0;
    for (const Win32Name& bit : PrinterStatusBits()) {
        known |= bit.value;
        if ((status & bit.value) != 0) {
            words.emplace_back(bit.words);
        }
    }
    if ((status & ~known) != 0) {
        words.push_back("unknown bits " + Hex(status & ~known));
    }
    return words;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : separator) + item;
    }
    return out;
}

const char* StateName(DWORD state) {
    return Words(ServiceStates(), state);
}

const char* StartTypeName(DWORD type) {
    return Words(ServiceStartTypes(), type);
}

const char* ActionName(DWORD type) {
    return Words(FailureActionTypes(), type);
}
