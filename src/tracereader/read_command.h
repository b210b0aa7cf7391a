// The command that prints a trace and writes its picture and report, shared by kq5trace --read
// and kq5sim --trace.
#pragma once

#include <cstdio>
#include <filesystem>

struct ReadCommand {
    std::filesystem::path trace;
    std::filesystem::path svg;   // empty: none
    std::filesystem::path html;  // empty: none
    bool replace = false;        // --replace: a file there already is written over, kq5's or not
};

// Prints the trace's timeline and findings to OUT, writes the picture and the report; messages
// start with PROGRAM. Exit codes: 0 done; 1 the picture or the report cannot be written (what
// could be written is); 2 the trace cannot be read or is no trace.
int RunTraceRead(const char* program, const ReadCommand& command, FILE* out, FILE* err);
