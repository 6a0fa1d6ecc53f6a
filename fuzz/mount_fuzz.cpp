// Fuzzes the mount table and the resolution of paths through it with
// untrusted text: scripts' mounts, folders, files and cartridges made from the
// input, then paths resolved. No path ever resolves outside the origin of the
// mount that serves it, and fullpath's result is absolute and collapsed.
//
// Input: lines. "m A B" mounts A on B (the script's mount), "d A" makes a
// folder (or a cartridge), "f A TEXT" writes a RAM file, "c A" sets the
// working directory; any other line is a path to resolve.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/process.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

namespace {

constexpr int lines_max = 64;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string_view next_word(std::string_view &rest) {
  size_t space = rest.find(' ');
  std::string_view word = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return word;
}

void resolve_and_check(std::string_view path, bool skip_self) {
  resolved_path r = resolve_to_origin(path, skip_self);
  if (!r.kind) {
    check(!normalise_kestrune_path(path));
    return;
  }
  check(r.mount >= 0 && r.mount < int(pmount_table.size()));
  const pmount &m = pmount_table[size_t(r.mount)];
  check(r.kind == m.kind);
  check(path_is_under(r.path, m.mount_point) || m.mount_point.empty() || m.mount_point == "/");
  check(path_is_under(r.origin, m.origin.empty() ? "/" : m.origin));
  check(r.origin.find("/../") == std::string::npos && !r.origin.ends_with("/.."));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static process fake;
  pfile_init();
  pfile_reset();
  mount_host_path("/", "/nonexistent-kestrune-fuzz-root");
  mount_ram_folder("/ram");
  fake.pwd = "/";
  cproc = &fake;

  std::string_view text(reinterpret_cast<const char *>(data), size);
  for (int n = 0; n < lines_max && !text.empty(); n++) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    std::string_view rest = line.substr(std::min<size_t>(2, line.size()));
    if (line.starts_with("m ")) {
      std::string_view a = next_word(rest);
      mount_p_path(a, rest);
    } else if (line.starts_with("d ")) {
      pmkdir(rest);
    } else if (line.starts_with("f ")) {
      std::string_view a = next_word(rest);
      if (pfile *f = pfopen(a, "w")) {
        pfwrite(rest.data(), 1, int64_t(rest.size()), f);
        pfclose(f);
      }
    } else if (line.starts_with("c ")) {
      if (is_legal_working_directory(rest)) fake.pwd.assign(rest);
    } else {
      resolve_and_check(line, false);
      resolve_and_check(line, true);
      std::optional<std::string> full = normalise_kestrune_path(line);
      if (full) {
        check(!full->empty() && (*full)[0] == '/');
        check(normalise_kestrune_path_from(*full, "/") == *full);
      }
    }
  }
  cproc = nullptr;
  pfile_reset();
  return 0;
}
