// The trace reader judged against the simulation's record of the day: a swarm day recorded with
// damage (day_trace.h) is read as kq5trace --read reads a file, and every state its findings
// and lanes claim is checked against what the machine did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "day_trace.h"

// What the reader claimed that the day belies; empty when every claim holds. A day of files is
// written as a record folder at PATH without its ".txt" to be read, and removed after.
std::vector<std::string> JudgeReader(const DayTrace& day, const std::string& path);

// Judges the days of SEEDS, printing each claim a day belies with its seed and writing its trace
// to OUT/reader-SEED.txt (a day of files: the folder OUT/reader-SEED); 0 when every day's claims
// hold, else 1.
int JudgeSeeds(const std::vector<uint64_t>& seeds, int minutes, const std::string& out);
