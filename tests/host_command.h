// Host tools the format tests compare against (pngcheck, the stock Lua, ...).
#pragma once

#include <cstdio>
#include <string>

// Standard output of a shell command, and whether it exited 0.
inline bool run_command(const std::string &cmd, std::string *out) {
  FILE *f = popen(cmd.c_str(), "r");
  if (!f) return false;
  char chunk[4096];
  size_t n;
  out->clear();
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
  return pclose(f) == 0;
}
