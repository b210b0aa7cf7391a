// How a conformance fact records what the machine answered: each expectation compares one answer
// with Windows' documented one (or, under Wine, with Wine's known departure from it) and keeps a
// line for every answer that differs.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "common/text.h"
#include "common/wide_string.h"

namespace conformance {

// How a fact ended on the machine it ran on.
enum class Verdict { Held, Differs, NotRun };

// A set-up the machine cannot make here (no right to, nothing to make it with): the fact is not
// run, for this reason.
struct NotPossible {
    std::string why;
};

// Thrown by Must once the answer it recorded leaves the fact nothing to go on with.
struct Stopped {};

struct Check {
    bool onWine = false;
    std::vector<std::string> differences;  // "what: answered X, expected Y"
    std::vector<std::string> departures;   // Wine's known departures met on the way
};

inline std::string Shown(const std::string& text) {
    return "\"" + text + "\"";
}
inline std::string Shown(const WideString& text) {
    return Shown(Narrow(text));
}
template <typename T>
std::enable_if_t<std::is_arithmetic_v<T>, std::string> Shown(T value) {
    return std::to_string(value);
}

template <typename T>
void Expect(Check& check, const std::string& what, const T& got, const T& want) {
    if (!(got == want)) {
        check.differences.push_back(what + ": answered " + Shown(got) + ", expected " +
                                    Shown(want));
    }
}

// Windows answers `windows`; Wine is known to answer `wine`, for the reason `departure`.
template <typename T>
void ExpectOr(Check& check, const std::string& what, const T& got, const T& windows, const T& wine,
              const char* departure) {
    if (check.onWine && !(windows == wine)) {
        if (got == wine) {
            check.departures.push_back(departure);
            return;
        }
        check.differences.push_back(what + ": answered " + Shown(got) +
                                    ", Wine is known to answer " + Shown(wine) + ", Windows " +
                                    Shown(windows));
        return;
    }
    Expect(check, what, got, windows);
}

// Whether the check stands down under Wine, which is known not to give the answer at all (a
// status it leaves unwritten), for the reason `departure`.
inline bool WineDeparts(Check& check, const char* departure) {
    if (check.onWine) {
        check.departures.push_back(departure);
    }
    return check.onWine;
}

inline void ExpectTrue(Check& check, const std::string& what, bool held) {
    if (!held) {
        check.differences.push_back(what + ": did not hold");
    }
}

// As ExpectTrue, and the fact ends here if it did not hold.
inline void Must(Check& check, const std::string& what, bool held) {
    ExpectTrue(check, what, held);
    if (!held) {
        throw Stopped{};
    }
}

}  // namespace conformance
