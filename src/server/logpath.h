// The one entry through which the log conditions are replaced wholesale (SetLogPath): one
// condition matching every node, saved to a path with rotation by size over a number of files.
//
// The logging service installs the function that does it. Conditions asked for before that are
// kept (the last request only) and handed to the service when it installs itself, so a start-up
// script may set its log path before the service runs.
#pragma once

#include <cstdint>

#include "base/endian.h"

typedef int (*SET_LOG_PATH_FUNC)(const L_CHAR* path, int64_t size, int64_t files);

// Installs the service's function (null removes it) and applies a request kept until then.
void install_set_log_path(SET_LOG_PATH_FUNC func);
// Replaces the log conditions: the service's result, or 0 when the request is kept for later.
int set_log_path(const L_CHAR* path, int64_t size, int64_t files);
