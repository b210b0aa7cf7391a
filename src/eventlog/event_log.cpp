#include "eventlog/event_log.h"

#include <vector>

namespace {

// UTF-8 to UTF-16; a byte that starts no character becomes U+FFFD.
std::basic_string<WCHAR> Utf16(const std::string& text) {
    std::basic_string<WCHAR> out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t length = b < 0x80         ? 1
                              : (b >> 5) == 6  ? 2
                              : (b >> 4) == 14 ? 3
                              : (b >> 3) == 30 ? 4
                                               : 0;
        char32_t c = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
        bool whole = length != 0 && i + length <= text.size();
        for (size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            whole = (next >> 6) == 2;
            c = c << 6 | (next & 0x3F);
        }
        if (!whole) {
            out.push_back(static_cast<WCHAR>(0xFFFD));
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(c));
        }
        i += length;
    }
    return out;
}

bool Report(HANDLE source, const PendingEvent& event) {
    constexpr size_t count = std::tuple_size_v<decltype(event.strings)>;
    std::array<std::basic_string<WCHAR>, count> wide;
    std::array<LPCWSTR, count> strings{};
    for (size_t i = 0; i < count; ++i) {
        wide[i] = Utf16(event.strings[i]);
        strings[i] = wide[i].c_str();
    }
    return ReportEventW(source, event.type, 0, static_cast<DWORD>(event.id), nullptr, count, 0,
                        strings.data(), nullptr) != FALSE;
}

// Reports what waits, oldest first, up to the first failure; the rest is left waiting.
void Flush(EventLog& log) {
    while (!log.pending.empty()) {
        if (log.source == nullptr) {
            log.source = RegisterEventSourceW(nullptr, WSTR("kq5"));
            if (log.source == nullptr) {
                return;
            }
        }
        if (!Report(log.source, log.pending.front())) {
            DeregisterEventSource(log.source);
            log.source = nullptr;
            return;
        }
        log.pending.pop_front();
    }
}

}  // namespace

PendingEvent PendingOf(const JudgedEvent& event) {
    const WORD type = event.type == EventType::Error     ? EVENTLOG_ERROR_TYPE
                      : event.type == EventType::Warning ? EVENTLOG_WARNING_TYPE
                                                         : EVENTLOG_INFORMATION_TYPE;
    return PendingEvent{event.id, type, event.strings};
}

std::string RaiseEvent(EventLog& log, PendingEvent event) {
    log.pending.push_back(std::move(event));
    if (log.pending.size() > kPendingEvents) {
        log.pending.pop_front();
        ++log.dropped;
    }
    Flush(log);
    if (log.pending.empty()) {
        return "";
    }
    const DWORD error = GetLastError();
    if (log.told) {
        return "";
    }
    log.told = true;
    return "the Windows event log does not take kq5's events (error " + std::to_string(error) +
           "); they wait and are tried again with the next one";
}

std::string EndEventLog(EventLog& log) {
    Flush(log);  // what it leaves waiting is counted below
    if (log.source != nullptr) {
        DeregisterEventSource(log.source);
        log.source = nullptr;
    }
    const uint64_t lost = log.pending.size() + log.dropped;
    return lost == 0 ? ""
                     : std::to_string(lost) +
                           " Windows events of kq5 were never written to the event log";
}
