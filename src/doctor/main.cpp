// kq5doctor.exe: prints what stands between the printer and its queue; see doctor.h.
#include <cstdio>

#include "doctor/program.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    std::string output;
    std::string errors;
    const int code = RunDoctor(args, output, errors);
    // The report alone on standard output, so that --json gives a script nothing but JSON.
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    std::fwrite(errors.data(), 1, errors.size(), stderr);
    return code;
}
