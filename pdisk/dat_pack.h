// dat_pack: building the system data pack ("sysrom.dat") from host folders;
// used by the kvt_pack tool and its tests, not by the running system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/system.h"
#include "pdisk/rom_form.h"

struct buffer;


// Appends one record (u32 big-endian length, then the bytes) at out's
// position. Refuses (false, nothing written) records the loader would drop.
bool append_dat_record(buffer *out, const void *bytes, int64_t n);

// Appends the tree under the host folder dir as cartridge entries named
// prefix + relative path: in each folder, names in byte order, a sub-folder
// as "sub/" before its contents. Fails, with *error set, on anything that
// cannot be read or whose name the rom reader would refuse.
bool collect_host_tree(const std::string &dir, const std::string &prefix,
                       std::vector<cart_entry> *entries, std::string *error);

// Appends a whole data pack to out: record 0 the name text, record 1 the rom
// form of system_dir under "system/", record 2 (when extra_dir is not empty)
// the rom form of extra_dir with relative names.
bool build_dat_pack(buffer *out, const std::string &name, const std::string &system_dir,
                    const std::string &extra_dir, std::string *error);
