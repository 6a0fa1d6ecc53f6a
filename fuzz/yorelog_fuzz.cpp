// Fuzzes the file history's reader with damaged logs: any log text (lines of
// time marks, blob, delta and other entries) must rebuild a version or give
// nothing, and never crash. One real blob lies beside the log, so delta lines
// against it reach the delta decoder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kernel/system.h"
#include "pdisk/murmur3.h"
#include "pdisk/yorelog.h"

namespace {

const std::string &data_folder() {
  // Kept past the static destructors: the exit handler below still needs it.
  static const std::string &folder = *new std::string([] {
    std::string f = std::filesystem::temp_directory_path().string() + "/kestrune-yorelog-fuzz-" +
                    std::to_string(getpid());
    std::filesystem::create_directories(f + "/yorelog/2024-05/tuk");
    std::string blob = "hello, history";
    std::ofstream(f + "/yorelog/2024-05/tuk/" + murmur3_hex(blob.data(), blob.size()),
                  std::ios::binary)
        << blob;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(data_folder(), ec);
    });
    return f;
  }());
  return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  config.home_path = data_folder();
  std::ofstream(data_folder() + "/yorelog/2024-05/10.log", std::ios::binary)
      .write(reinterpret_cast<const char *>(data), std::streamsize(size));
  for (const char *when : {"/a@2024-05-10 12:00:00", "/a.txt@2024-05-31 23:59:59", "/@2024-05-10 00:00:00"})
    yorelog_fetch(when);
  return 0;
}
