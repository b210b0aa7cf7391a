// What a program under test wrote: to a temporary file (std::tmpfile) standing in for its
// standard output or error (the file is closed), or to a file at a path; the whole text.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
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

inline std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
