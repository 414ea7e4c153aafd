// The core's error values live in the public header, so the facade and the
// library's callers share one definition.
#pragma once

#include "tarvik/result.h"
