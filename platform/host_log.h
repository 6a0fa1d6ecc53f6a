// The host log: "log.txt" in the default data folder, new each run.
#pragma once

#include <cstdint>
#include <string_view>

// Milliseconds since the program started.
int64_t host_ms_since_start();

// Logs one message (which carries its own line end); a leading '>' and then a
// leading '<' are dropped.
void hovi_debug(std::string_view message);
// Formats like printf, then logs.
void hovi_debugf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Where the log goes from the next message on; the default is the data
// folder's log.txt. Tests point it elsewhere.
void hovi_set_log_path(std::string_view host_path);
