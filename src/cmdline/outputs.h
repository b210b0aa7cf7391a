// Outputs that must not destroy what is read: a report, a picture or a capture is refused when
// it is an input file, a file in a folder being read, or a file that kq5trace --record keeps,
// whatever the spelling of its name (the files are compared, not the names); nor a file that kq5
// did not write, unless the user says so. Each output is
// written beside its target and renamed over it, so a failure leaves no half file behind.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cmdline {

struct NamedFile {
    std::filesystem::path path;
    std::string what;  // "the report", "the trace"
};

// What may happen to a file that is there already where an output goes. Without a word from the
// user, only kq5's own earlier output of that kind ("the report", "the picture", recognised by
// its first bytes) is written over; a capture ("the capture") is continued with --append only.
struct Existing {
    bool replace = false;  // --replace: whatever is there is written over
    bool append = false;   // --append: an earlier capture is continued
};

// Empty when every output may be written; else why not, naming the output and what it would
// destroy (or why that cannot be told). NOTICES gets a line for each file there already that
// is to be written over or continued ("the earlier report \"r.html\" written over"), for
// standard error once it is.
std::string CheckOutputs(const std::vector<NamedFile>& inputs,
                         const std::vector<NamedFile>& outputs, const Existing& existing = {},
                         std::vector<std::string>* notices = nullptr);

struct Written {
    NamedFile file;
    std::string content;
};

// Writes every file whole, or none: each goes to a temporary file beside it first, and only
// when all are written are they renamed over their targets. Empty on success; else what could
// not be written, with the system's reason.
std::string WriteAll(const std::vector<Written>& written);

}  // namespace cmdline
