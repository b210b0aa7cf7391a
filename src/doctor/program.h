// The whole of kq5doctor but its entry point: the command line, the facts gathered with the
// debugger output silenced, judged and written.
#pragma once

#include <string>
#include <vector>

// Arguments without the program name; the report (OUTPUT) and the messages (ERRORS, for
// standard error); the exit code.
int RunDoctor(const std::vector<std::string>& args, std::string& output, std::string& errors);
