// The doctor's words for what Windows answers: errors, printer status bits, service states,
// start types and recovery actions, from the tables of events/win32_names.h.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// "0x5: access denied"; an error the tables do not name as its number alone.
std::string ErrorWords(DWORD error);
// The status word bit by bit in winspool.h's order; bits no winspool.h names as one number.
std::vector<std::string> StatusWords(DWORD status);
// "running", "automatic", "restart"; "unknown" for a value Windows may add later.
const char* StateName(DWORD state);
const char* StartTypeName(DWORD type);
const char* ActionName(DWORD type);
std::string Join(const std::vector<std::string>& items, const char* separator);
