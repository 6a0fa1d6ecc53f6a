// Fuzzes the path rules with untrusted text (script arguments, cartridge entry
// names): no crash, and every accepted path is absolute, collapsed and
// normalises to itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdisk/path.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void check_normalised(const std::string &v) {
  check(!v.empty() && v[0] == '/');
  // "//" only in a protocol kept whole after the '#'
  size_t twice = v.find("//");
  if (twice != std::string::npos) {
    check(v.find('#') < twice && v[twice - 1] == ':');
    check(v.find("//", twice + 1) == std::string::npos);
  }
  check(v == "/" || v.back() != '/');
  check(v.find("/./") == std::string::npos && v.find("/../") == std::string::npos);
  check(is_legal_kestrune_path(v));
  check(normalise_kestrune_path_from(v, "/") == v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  // The first line, when there is one, is the working directory.
  std::string pwd = "/ram/cart";
  size_t nl = text.find('\n');
  if (nl != std::string::npos) {
    pwd = text.substr(0, nl);
    text.erase(0, nl + 1);
  }
  for (const std::string &dir : {pwd, std::string("/")}) {
    std::optional<std::string> n = normalise_kestrune_path_from(text, dir);
    if (n) check_normalised(*n);
  }
  std::string c = collapse_path(text);
  check(!c.empty());
  check(collapse_path(c) == c);
  get_ext(text);
  kvt_path_kind(text);
  return 0;
}
