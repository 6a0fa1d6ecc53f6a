// Test entry point: keeps every host file the tests make inside a scratch folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/host_log.h"
#include "platform/host_paths.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string scratch = testing::TempDir() + "kestrune-tests-" + std::to_string(getpid());
  hovi_mkdir(scratch);
  setenv("XDG_DATA_HOME", (scratch + "/data").c_str(), 1);
  hovi_set_log_path(scratch + "/log.txt");
  return RUN_ALL_TESTS();
}
