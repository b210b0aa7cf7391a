// The trace reader judged against the simulation's record of the day: a swarm day recorded with
// damage (day_trace.h) is read as kq5trace --read reads a file, and every state its findings
// and lanes claim is checked against what the machine did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "day_trace.h"

// What the reader claimed that the day belies; empty when every claim holds.
std::vector<std::string> JudgeReader(const DayTrace& day);

// The day of SEED recorded and judged; TRACE gets the trace, for a failure to be replayed with
// kq5trace --read.
std::vector<std::string> JudgeDay(uint64_t seed, int minutes, std::string& trace);

// Judges the days of SEEDS, printing each claim a day belies with its seed and writing its trace
// to OUT/reader-SEED.txt; 0 when every day's claims hold, else 1.
int JudgeSeeds(const std::vector<uint64_t>& seeds, int minutes, const std::string& out);
