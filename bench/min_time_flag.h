// The one flag of the timed programs among the benchmarks: the test suite
// runs them with --benchmark_min_time=0.01, as it runs the Google Benchmark ones.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// Seconds from --benchmark_min_time=SECONDS, else `fallback`. With `filter`
// given, one other argument may stand there (a developer's choice of cases);
// anything else on the command line prints the usage and exits.
inline double min_time_from(int argc, char **argv, double fallback, std::string *filter = nullptr) {
  const std::string flag = "--benchmark_min_time=";
  double t = fallback;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a.rfind(flag, 0) == 0) {
      t = std::atof(a.c_str() + flag.size());
    } else if (filter && filter->empty() && !a.empty() && a[0] != '-') {
      *filter = a;
    } else {
      std::fprintf(stderr, "usage: %s [--benchmark_min_time=SECONDS]%s\n", argv[0],
                   filter ? " [NAME FILTER]" : "");
      std::exit(2);
    }
  }
  return t;
}
