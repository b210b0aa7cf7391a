// Outputs checked against inputs by file identity, and written whole.
#include "cmdline/outputs.h"

#include <algorithm>
#include <fstream>

#include "cmdline/cmdline.h"
#include "platform/files.h"
#include "tracelog/format.h"
#include "tracelog/retention.h"

namespace cmdline {

namespace {

// Where an output goes: its file, or (not there yet) its folder and name.
struct Placed {
    files::Identity identity;
    std::string name;
};

struct Known {
    const NamedFile* named;
    files::Identity identity;
};

std::string Quoted(const std::filesystem::path& path) {
    return "\"" + Shown(PathText(path)) + "\"";
}

// The folder a name is in ("." for a bare name).
std::filesystem::path FolderOf(const std::filesystem::path& path) {
    const std::filesystem::path folder = path.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

bool IsRecorderName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    LocalDate date;
    int part = 0;
    return ParseDayFileName(name, date, part);
}

// Whether OUTPUT (that exists) is one of the files in the folder FOLDER, by any name.
bool InFolder(const files::Identity& output, const std::filesystem::path& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        files::Identity entry;
        files::SystemError why;
        if (files::Identify(it->path(), entry, why) && files::SameFile(entry, output)) {
            return true;
        }
    }
    return false;
}

// Why OUTPUT would destroy INPUT; empty when it would not.
std::string Destroys(const NamedFile& output, const files::Identity& target,
                     const files::Identity& folder, const Known& input) {
    const std::string name = output.what + " " + Quoted(output.path);
    if (!input.identity.exists) {
        return "";
    }
    if (target.exists && files::SameFile(target, input.identity)) {
        return name + " is " + input.named->what + " " + Quoted(input.named->path) + " itself";
    }
    if (!input.identity.folder) {
        return "";
    }
    if ((folder.exists && files::SameFile(folder, input.identity)) ||
        (target.exists && InFolder(target, input.named->path))) {
        return name + " is in the folder being read, " + Quoted(input.named->path);
    }
    return "";
}

// The first bytes of PATH, up to where kq5's outputs have said what they are.
std::string Head(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(16384, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
}

// Whether HEAD begins an output of kq5 of the kind WHAT: a capture's header, the report's page
// with its heading, the picture's drawing with a kq5 program's title.
bool OwnOutput(const std::string& what, const std::string& head) {
    if (what == "the capture") {
        return head.empty() || IsHeader(head);
    }
    if (what == "the report") {
        return head.starts_with("<!DOCTYPE html>\n") &&
               head.find("<h1>kq5 trace report</h1>") != std::string::npos;
    }
    // The picture: its drawing as kq5's picture module begins it, its title next.
    return what == "the picture" &&
           head.starts_with(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"") &&
           head.find(
               " font-family=\"sans-serif\" font-size=\"11\">\n<rect width=\"100%\" "
               "height=\"100%\" fill=\"#ffffff\"/>\n<text x=\"12\" y=\"24\" "
               "font-size=\"15\" font-weight=\"bold\">") != std::string::npos;
}

// Why OUTPUT may not go over the file there already; else empty, with the notice of what happens
// to that file.
std::string CheckExisting(const NamedFile& output, const Existing& existing, std::string& notice) {
    const std::string name = output.what + " " + Quoted(output.path);
    const bool own = OwnOutput(output.what, Head(output.path));
    if (output.what == "the capture" && !existing.replace) {
        if (!existing.append) {
            return name + " is there already: --append continues it, --replace writes over it";
        }
        if (!own) {
            return name +
                   " is not a capture of kq5trace, which --append would continue: "
                   "--replace writes over it";
        }
        notice = "the earlier capture " + Quoted(output.path) + " continued (--append)";
        return "";
    }
    const std::string kind = output.what.substr(output.what.find(' ') + 1);  // "report"
    if (!own && !existing.replace) {
        return name + " is there already and is not a " + kind +
               " of kq5: --replace writes over it";
    }
    notice = own ? "the earlier " + kind + " " + Quoted(output.path) + " written over"
                 : Quoted(output.path) + " replaced (--replace)";
    return "";
}

std::string CheckOne(const NamedFile& output, const std::vector<Known>& inputs,
                     std::vector<Placed>& earlier, const Existing& existing, std::string& notice) {
    files::Identity target;
    files::Identity folder;
    files::SystemError why;
    if (!files::Identify(output.path, target, why) ||
        (!target.exists && !files::Identify(FolderOf(output.path), folder, why))) {
        return "cannot tell what " + output.what + " " + Quoted(output.path) +
               " would overwrite: " + why.text;
    }
    if (target.exists && target.folder) {
        return output.what + " " + Quoted(output.path) + " is a folder";
    }
    for (const Known& input : inputs) {
        const std::string destroyed = Destroys(output, target, folder, input);
        if (!destroyed.empty()) {
            return destroyed + ": nothing is written over what is read";
        }
    }
    const std::string stored = target.exists ? target.name : PathText(output.path.filename());
    if (IsRecorderName(stored)) {
        return output.what + " " + Quoted(output.path) +
               " is named as a day file of kq5trace --record, which appends to it and deletes "
               "it in time: choose another name";
    }
    // Another output's file: the same file, or (neither there yet) the same name in one folder.
    Placed placed{target.exists ? target : folder, target.exists ? "" : stored};
    for (const Placed& other : earlier) {
        if (files::SameFile(other.identity, placed.identity) && other.name == placed.name) {
            return output.what + " " + Quoted(output.path) + " is another output's file too";
        }
    }
    earlier.push_back(placed);
    return target.exists ? CheckExisting(output, existing, notice) : "";
}

std::string Unwritten(const NamedFile& file, const files::SystemError& why) {
    return "cannot write " + file.what + " to " + Shown(PathText(file.path)) + ": " + why.text;
}

}  // namespace

std::string CheckOutputs(const std::vector<NamedFile>& inputs,
                         const std::vector<NamedFile>& outputs, const Existing& existing,
                         std::vector<std::string>* notices) {
    std::vector<Known> known;
    for (const NamedFile& input : inputs) {
        Known k{&input, {}};
        files::SystemError why;
        if (!files::Identify(input.path, k.identity, why)) {
            return "cannot tell which file " + input.what + " " + Quoted(input.path) +
                   " is: " + why.text;
        }
        known.push_back(k);
    }
    std::vector<Placed> earlier;
    std::vector<std::string> said;
    for (const NamedFile& output : outputs) {
        std::string notice;
        std::string refused = CheckOne(output, known, earlier, existing, notice);
        if (!refused.empty()) {
            return refused;
        }
        if (!notice.empty()) {
            said.push_back(notice);
        }
    }
    if (notices != nullptr) {
        *notices = said;
    }
    return "";
}

std::string WriteAll(const std::vector<Written>& written) {
    std::vector<files::Replacement> pending(written.size());
    files::SystemError why;
    std::string failed;
    for (size_t i = 0; i < written.size() && failed.empty(); ++i) {
        const std::string& text = written[i].content;
        if (!files::BeginReplacement(written[i].file.path, pending[i], why) ||
            std::fwrite(text.data(), 1, text.size(), pending[i].file) != text.size()) {
            if (why.text.empty()) {
                why = files::LastError();
            }
            failed = Unwritten(written[i].file, why);
        }
    }
    for (size_t i = 0; i < written.size(); ++i) {
        if (!failed.empty()) {
            if (pending[i].file != nullptr) {
                files::AbandonReplacement(pending[i]);
            }
        } else if (!files::FinishReplacement(pending[i], why)) {
            failed = Unwritten(written[i].file, why);
        }
    }
    return failed;
}

}  // namespace cmdline
