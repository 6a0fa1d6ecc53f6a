// host_open: showing a host file or a web address in the host's own
// applications.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

// The escaped URL part is cut to at most this many characters (never inside
// an escape).
constexpr size_t host_url_max = 1020;

// Every byte but letters, digits and "-./&:=?_" written as '%' and two
// upper-case hex digits, cut to host_url_max characters.
std::string escape_url_for_host(std::string_view url);

// What the opener is given for a text: an "https:" text is a URL (escaped);
// any other is a virtual path, given as its host path when it lies in a host
// folder. Nothing for an illegal path or one served from RAM.
std::optional<std::string> host_open_argument(std::string_view text);

// Hands host_open_argument(text) to the opener; false when there was nothing
// to open. The opener's own failure is ignored.
bool os_open_host_path(std::string_view text);

// Starts program (found on PATH) with argument as its only argument, without
// a shell and with standard output discarded. The child's id, or -1 when it
// could not be started; the caller reaps it.
pid_t os_spawn_opener(const char *program, const char *argument);

// The opener; by default runs "xdg-open" and reaps it later. Tests replace it.
extern void (*os_host_opener)(const std::string &argument);
