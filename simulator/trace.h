// Traces: the service's debugger lines captured on a real machine, by kq5trace or saved by
// Sysinternals DebugView (elapsed-time or clock-time form), read line by line into the
// simulator's timeline, picture and a list of findings in plain words.
#pragma once

#include <istream>
#include <string>

struct TraceReport {
    bool ok = false;
    std::string error;     // when not ok: what is wrong, naming the line
    std::string layout;    // the layout found in the first lines
    std::string timeline;  // the simulator's form, repeats folded
    std::string findings;
    std::string svg;  // when asked for
};

// Reads TRACE from start to end, holding only what the picture and the findings need.
TraceReport ReadTrace(std::istream& trace, const std::string& name, bool drawSvg);
