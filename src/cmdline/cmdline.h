// One command line for every kq5 program: options and their values checked against the program's
// forms, so that a wrong word is named with the usage line it breaks. --help, -h and /? print the
// help and --version the version, exit 0; a refusal goes to standard error with exit 2.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cmdline {

struct Option {
    std::string name = "";    // "--html"
    std::string value = "";   // the value's name ("FILE"); empty: a switch
    bool repeatable = false;  // given more than once adds to a list
};

// One way of calling the program: its usage line, the options it takes, and the option that
// selects it (empty: the form used when no other form's option is given).
struct Form {
    std::string usage = "";  // without "usage: "
    std::vector<std::string> options = {};
    std::string key = "";
    size_t operands = 0;  // how many plain words (a scenario file) it takes at most
    std::string operandName = "";
};

struct Program {
    std::string name;
    std::string version;
    std::string help;  // printed by --help
    std::vector<Option> options;
    std::vector<Form> forms;
};

enum class Action { Run, Help, Version, Refused };

struct Given {
    std::string option;
    std::string value;
};

struct Parsed {
    Action action = Action::Run;
    std::string message;  // Refused: the whole message, for standard error
    const Form* form = nullptr;
    std::vector<Given> given;  // in order
    std::vector<std::string> operands;

    bool Has(const std::string& option) const;
    // The value of OPTION; FALLBACK when it was not given.
    std::string Value(const std::string& option, const std::string& fallback = "") const;
    std::vector<std::string> Values(const std::string& option) const;
};

Parsed Parse(const Program& program, const std::vector<std::string>& args);

// A refusal: "PROGRAM: WHAT", the usage line it breaks (FORM's; else those of the forms that
// take OPTION; else every form's), and where the help is.
std::string Refusal(const Program& program, const Form* form, const std::string& what,
                    const std::string& option = "");

// Prints the help, the version or the refusal; returns the exit code (0 or 2). Only for an
// action other than Run.
int Answer(const Program& program, const Parsed& parsed, FILE* out, FILE* err);

// A program's opening: parses ARGS (the words after the program's name) and runs RUN with
// them; the help, the version and a refusal are answered instead, on standard output or error.
// Returns RUN's exit code, or the answer's.
int Main(const Program& program, const std::vector<std::string>& args,
         int (*run)(const Parsed& parsed));

// A word or a path (UTF-8) as a message shows it: its characters as they are, "C:\Données"
// included; line breaks, other control bytes and bytes that are no UTF-8 escaped as a captured
// line's bytes are ("\n", "\xNN"), so that a message stays one printable line.
std::string Shown(const std::string& utf8);

// Value checks: false (nothing changed) unless TEXT is a whole number from FROM to TO, or a
// number from FROM to TO (no sign, no exponent, no "nan").
bool WholeNumber(const std::string& text, long long from, long long to, long long& value);
bool Number(const std::string& text, double from, double to, double& value);

}  // namespace cmdline
