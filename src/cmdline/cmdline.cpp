// The one command-line parser of the kq5 programs.
#include "cmdline/cmdline.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/escape.h"

namespace cmdline {

namespace {

bool IsHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "/?";
}

// A word that reads as an option: where a value belongs it is a slip (`--record --help`), never
// a folder named "--help".
bool LooksLikeOption(const std::string& arg) {
    return (arg.size() > 1 && arg[0] == '-') || arg == "/?";
}

const Option* Find(const Program& program, const std::string& name) {
    for (const Option& option : program.options) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool Lists(const Form& form, const std::string& option) {
    return std::find(form.options.begin(), form.options.end(), option) != form.options.end();
}

Parsed Refuse(const Program& program, const Form* form, const std::string& what,
              const std::string& option = "") {
    Parsed parsed;
    parsed.action = Action::Refused;
    parsed.message = Refusal(program, form, what, option);
    return parsed;
}

// The form the given options select: the one whose key was given, else the one without a key.
const Form* SelectForm(const Program& program, const Parsed& parsed, std::string& clash) {
    const Form* chosen = nullptr;
    for (const Form& form : program.forms) {
        if (!form.key.empty() && parsed.Has(form.key)) {
            if (chosen != nullptr) {
                clash = chosen->key + " and " + form.key + " do not go together";
                return nullptr;
            }
            chosen = &form;
        }
    }
    for (const Form& form : program.forms) {
        if (chosen == nullptr && form.key.empty()) {
            chosen = &form;
        }
    }
    if (chosen == nullptr) {
        clash = "nothing to do";
    }
    return chosen;
}

// Refuses an option the selected form does not take, or too many plain words.
std::string CheckForm(const Program& program, const Form& form, const Parsed& parsed) {
    for (const Given& given : parsed.given) {
        if (Lists(form, given.option)) {
            continue;
        }
        for (const Form& other : program.forms) {
            if (!other.key.empty() && Lists(other, given.option)) {
                return given.option + (form.key.empty() ? " goes with " + other.key
                                                        : " does not go with " + form.key);
            }
        }
        return given.option + " does not go with " + (form.key.empty() ? "this use" : form.key);
    }
    if (parsed.operands.size() > form.operands) {
        const std::string& extra = parsed.operands[form.operands];
        if (form.operands > 0) {
            return "one " + form.operandName + " only: '" + parsed.operands[0] + "' and '" + extra +
                   "'";
        }
        return form.key.empty() ? "unexpected word '" + extra + "' (no option)"
                                : "'" + extra + "' does not go with " + form.key;
    }
    return "";
}

}  // namespace

std::string Shown(const std::string& utf8) {
    std::string shown;
    for (size_t at = 0; at < utf8.size();) {
        const size_t length =
            static_cast<unsigned char>(utf8[at]) >= 0x80 ? Utf8Length(utf8, at) : 0;
        if (length != 0) {
            shown += utf8.substr(at, length);
            at += length;
        } else {
            shown += EscapeBytes(utf8.data() + at, 1);
            ++at;
        }
    }
    return shown;
}

bool Parsed::Has(const std::string& option) const {
    return std::any_of(given.begin(), given.end(),
                       [&](const Given& g) { return g.option == option; });
}

std::string Parsed::Value(const std::string& option, const std::string& fallback) const {
    const std::vector<std::string> values = Values(option);
    return values.empty() ? fallback : values.back();
}

std::vector<std::string> Parsed::Values(const std::string& option) const {
    std::vector<std::string> values;
    for (const Given& g : given) {
        if (g.option == option) {
            values.push_back(g.value);
        }
    }
    return values;
}

Parsed Parse(const Program& program, const std::vector<std::string>& args) {
    Parsed parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg) || arg == "--version") {
            parsed.action = IsHelp(arg) ? Action::Help : Action::Version;
            return parsed;
        }
        if (!LooksLikeOption(arg)) {
            parsed.operands.push_back(arg);
            continue;
        }
        const Option* option = Find(program, arg);
        if (option == nullptr) {
            return Refuse(program, nullptr, "unknown option " + arg);
        }
        if (!option->repeatable && parsed.Has(arg)) {
            return Refuse(program, nullptr, arg + " given twice", arg);
        }
        Given given{arg, ""};
        if (!option->value.empty()) {
            if (i + 1 == args.size()) {
                return Refuse(program, nullptr, arg + " needs a value (" + option->value + ")",
                              arg);
            }
            if (LooksLikeOption(args[i + 1])) {
                return Refuse(
                    program, nullptr,
                    arg + " needs a value (" + option->value + "), not the option " + args[i + 1],
                    arg);
            }
            given.value = args[++i];
        }
        parsed.given.push_back(given);
    }
    std::string why;
    parsed.form = SelectForm(program, parsed, why);
    if (parsed.form != nullptr) {
        why = CheckForm(program, *parsed.form, parsed);
    }
    return why.empty() ? parsed : Refuse(program, parsed.form, why);
}

std::string Refusal(const Program& program, const Form* form, const std::string& what,
                    const std::string& option) {
    std::string text = program.name + ": " + what + "\n";
    const bool anyLists = std::any_of(program.forms.begin(), program.forms.end(),
                                      [&](const Form& f) { return Lists(f, option); });
    for (const Form& f : program.forms) {
        const bool shown = form != nullptr ? form == &f : !anyLists || Lists(f, option);
        if (shown) {
            text += (text.find("usage: ") == std::string::npos ? "usage: " : "       ") + f.usage +
                    "\n";
        }
    }
    return text + "(" + program.name + " --help tells more)\n";
}

int Answer(const Program& program, const Parsed& parsed, FILE* out, FILE* err) {
    switch (parsed.action) {
        case Action::Help:
            std::fputs(program.help.c_str(), out);
            return 0;
        case Action::Version:
            std::fprintf(out, "%s %s\n", program.name.c_str(), program.version.c_str());
            return 0;
        case Action::Refused:
        case Action::Run:
            break;
    }
    std::fputs(parsed.message.c_str(), err);
    return 2;
}

int Main(const Program& program, const std::vector<std::string>& args,
         int (*run)(const Parsed& parsed)) {
    const Parsed parsed = Parse(program, args);
    if (parsed.action != Action::Run) {
        return Answer(program, parsed, stdout, stderr);
    }
    return run(parsed);
}

bool WholeNumber(const std::string& text, long long from, long long to, long long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 18) {
        return false;
    }
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (number < from || number > to) {
        return false;
    }
    value = number;
    return true;
}

bool Number(const std::string& text, double from, double to, double& value) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find_first_of("0123456789") == std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text.size() > 18) {
        return false;
    }
    const double number = std::strtod(text.c_str(), nullptr);
    if (!(number >= from && number <= to)) {
        return false;
    }
    value = number;
    return true;
}

}  // namespace cmdline
