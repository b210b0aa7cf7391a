// Text for the report: UTF-16 from the system as UTF-8, and JSON string escapes.
#pragma once

#include <string>

#include "common/wide_string.h"

std::string Utf8(const WideString& text);
std::string JsonString(const std::string& text);  // quoted and escaped
