// The timeline is the picture's view now (picture/timeline.h); the trace clock still names it here.
#pragma once

#include "picture/timeline.h"
