// The one flag of the timed programs among the benchmarks: the test suite
// runs them with --benchmark_min_time=0.01, as it runs the Google Benchmark ones.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// Seconds from --benchmark_min_time=SECONDS, else `fallback`; anything else on
// the command line prints the usage and exits.
inline double min_time_from(int argc, char **argv, double fallback) {
  const std::string flag = "--benchmark_min_time=";
  double t = fallback;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a.rfind(flag, 0) == 0) {
      t = std::atof(a.c_str() + flag.size());
    } else {
      std::fprintf(stderr, "usage: %s [--benchmark_min_time=SECONDS]\n", argv[0]);
      std::exit(2);
    }
  }
  return t;
}
