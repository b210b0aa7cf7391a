// What a program under test wrote to a temporary file (std::tmpfile) standing in for its
// standard output or error: the whole text; the file is closed.
#pragma once

#include <cstdio>
#include <string>

inline std::string Drain(std::FILE* file) {
    std::rewind(file);
    std::string all;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        all += static_cast<char>(c);
    }
    std::fclose(file);
    return all;
}
