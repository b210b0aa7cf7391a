// Reading a trace: one file (a kq5trace capture or a saved DebugView log) or the folder that
// kq5trace --record writes (one file per day, in parts), as one trace.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "tracereader/analysis.h"
#include "picture/picture.h"

struct TraceReport {
    bool ok = false;
    std::string error;                  // when not ok: what is wrong, naming the line
    std::string name;                   // the file or folder, escaped
    std::string layout;                 // the layout found in the first lines
    std::vector<std::string> timeline;  // folded, line by line
    std::vector<TraceFinding> findings;
    Picture picture;
    std::vector<JudgedEvent> events;  // what kq5trace --record raises for it, in time order
};

// Reads TRACE (one file) from start to end, holding only what the picture and the findings need.
TraceReport ReadTrace(std::istream& trace, const std::string& name);

// Reads the file or the folder at PATH.
TraceReport ReadTracePath(const std::filesystem::path& path);

// Opens a day file of a record folder for reading (ReadTracePath: from the disk). A test gives
// its own to change or break a file between the folder's listing and its reading.
using OpenDayFile = std::function<std::unique_ptr<std::istream>(const std::filesystem::path&)>;

// Reads the record folder at FOLDER, its day files opened by OPEN.
TraceReport ReadRecordFolder(const std::filesystem::path& folder, const OpenDayFile& open);

// PATH for a message: its characters as they are, control bytes and bytes that are no UTF-8
// escaped.
std::string EscapedPath(const std::filesystem::path& path);
