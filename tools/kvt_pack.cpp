// kvt_pack: writes a system data pack from host folders.
//   kvt_pack OUT.dat --name TEXT --system DIR [--extra DIR]
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/buffer.h"
#include "pdisk/dat_pack.h"
#include "platform/atomic_write.h"

static int usage(const char *why) {
  std::fprintf(stderr, "kvt_pack: %s\n", why);
  std::fprintf(stderr, "usage: kvt_pack OUT.dat --name TEXT --system DIR [--extra DIR]\n");
  return 2;
}

int main(int argc, char **argv) {
  std::string out_path, name, system_dir, extra_dir;
  bool have_out = false, have_name = false, have_system = false;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    bool option = std::strcmp(a, "--name") == 0 || std::strcmp(a, "--system") == 0 ||
                  std::strcmp(a, "--extra") == 0;
    if (option) {
      if (i + 1 >= argc) return usage((std::string(a) + " needs a value").c_str());
      const char *v = argv[++i];
      if (std::strcmp(a, "--name") == 0) {
        name = v;
        have_name = true;
      } else if (std::strcmp(a, "--system") == 0) {
        system_dir = v;
        have_system = true;
      } else {
        extra_dir = v;
      }
    } else if (a[0] == '-' && a[1] == '-') {
      return usage((std::string("unknown option ") + a).c_str());
    } else if (have_out) {
      return usage("more than one output file given");
    } else {
      out_path = a;
      have_out = true;
    }
  }
  if (!have_out || out_path.empty()) return usage("no output file given");
  if (!have_name) return usage("--name is required (it may be empty)");
  if (!have_system || system_dir.empty()) return usage("--system is required");

  buffer_owner pack(create_buffer_2(0, 0));
  std::string error;
  if (!build_dat_pack(pack.get(), name, system_dir, extra_dir, &error)) {
    std::fprintf(stderr, "kvt_pack: %s\n", error.c_str());
    return 1;
  }
  if (!write_host_file_atomically(out_path, pack->data, size_t(pack->length), &error)) {
    std::fprintf(stderr, "kvt_pack: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
