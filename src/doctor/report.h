// The report's two writers: lines for a person, one JSON object for tools.
#pragma once

#include <string>
#include <vector>

#include "doctor/judge.h"

std::string RenderText(const std::vector<Finding>& findings);
std::string RenderJson(const Facts& facts, const std::vector<Finding>& findings);
