// Fuzzes the name a dropped host file gets under "/ram/drop/" (the host hands
// any path it likes): the virtual path is always legal, normalises to itself
// and lies inside the drop folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/dropped_file.h"
#include "pdisk/path.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string host(reinterpret_cast<const char *>(data), size);
  std::string path = drop_path_for(host);
  std::optional<std::string> n = normalise_kestrune_path_from(path, "/");
  check(n.has_value() && *n == path);
  check(path_is_under(path, "/ram/drop") && path != "/ram/drop");
  check(path.size() <= 1023);
  return 0;
}
