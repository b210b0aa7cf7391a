// The picture of a run or a trace: an SVG lane chart over time, one lane each for the printer,
// the queue, the Spooler and the service, with the details in <title>s a browser shows on hover.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tracereader/clock.h"
#include "picture/timeline.h"

// A stretch without a line of the service (drawn unknown), [fromMs, toMs).
struct Uncovered {
    uint64_t fromMs = 0, toMs = 0;
    bool afterEnd = false;  // the process before it had ended: the service was not running
    bool toEnd = false;     // the trace ends in it: no line of the service follows
};

// Whether stretch S holds time ATMS.
inline bool Holds(const Uncovered& s, uint64_t atMs) {
    return s.fromMs <= atMs && atMs < s.toMs;
}

// The printer as it was from `atMs` on.
struct PrinterChange {
    uint64_t atMs = 0;
    bool present = false;
    int code = 0;
};

// A single happening drawn as a mark in its lane ("printer": read faults; "service": device
// events, controls and call failures), with its words for the hover text.
struct LaneMark {
    uint64_t atMs = 0;
    std::string lane;
    std::string text;
};

struct Picture {
    bool queueExists = true;
    std::string queuePort;  // the queue's port at the start; empty: it reports none
    // The queue's, the Spooler's and the service's changes and the output lines, in time order.
    std::vector<TimelineEvent> timeline;
    std::vector<PrinterChange> printer;
    std::vector<LaneMark> actions;
    std::string subtitle;      // the line under the title
    std::string queueCaption;  // empty: "state, status; port"
    // A trace's: the local clock where it carries one (the axis, the hover texts), and what no
    // line of the service covers, drawn unknown; each lane is unknown until a line tells of it.
    bool fromTrace = false;
    TraceClock clock;
    std::vector<Uncovered> uncovered;
    // A trace's: from a moment on, what it had drawn of lane "printer", "queue" or "spooler" no
    // longer holds (the text says why), unknown until the lane's next state; in time order.
    std::vector<LaneMark> unsaid;
};

// Where the picture's time axis ends: the next whole second after the last event, so that the
// final states can be seen.
uint64_t PictureEndMs(const std::vector<TimelineEvent>& timeline);

// The same picture always gives the same bytes: an SVG file.
std::string FormatSvg(const Picture& picture, const std::string& title);
// The picture for a page: its <svg> element alone, without the XML declaration and the namespace,
// so that the page names no address at all.
std::string FormatInlineSvg(const Picture& picture, const std::string& title);

// The lanes as text, a line for each state (its start, label and colour), mark and tick: what
// the picture draws, for a reader of a test's expected answer.
std::string LanesText(const Picture& picture);

// Text for XML and HTML: markup characters escaped, other than printable ASCII and line breaks
// as '?'.
std::string EscapeMarkup(const std::string& text);
