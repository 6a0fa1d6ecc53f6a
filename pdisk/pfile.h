// pfile: the virtual file system's two tables (file slots and mounts), the
// resolution of paths to origins, and opening, closing, reading, writing,
// making folders, copying and deleting.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/buffer.h"

constexpr int pfile_max = 16384;
constexpr int pmount_max = 2048;
// Opening a file while at most this many slots are free clears early.
constexpr int pfile_low_water = 8191;
// Pruning gives up (and ends the program) above 2,045 mounts; appends stop
// short of that, and mounts made by scripts a few earlier still, so that
// cartridges met on a path find room.
constexpr int pmount_refuse_at = 2045;
constexpr int pmount_script_refuse_at = 2040;

// pfile.kind
constexpr int32_t pfile_free = 0;
constexpr int32_t pfile_host = 1; // an open host file: its bytes live in data
constexpr int32_t pfile_ram = 2;  // a RAM file or RAM folder: the slot is the file
// pfile.flags
constexpr uint8_t pfile_flag_folder = 1;
// pmount.kind
constexpr int32_t pmount_host = 1;
constexpr int32_t pmount_ram = 2;

constexpr int buffer_group_pfile = 100;
// A change under a mount is written back this long after the first one.
constexpr int64_t pmount_flush_delay_ms = 300;
// Mode "rm" stops reading a host file once more than this is read.
constexpr int64_t pfile_meta_read_max = 65535;
// RAM folders of cartridge mounts lie under this.
constexpr std::string_view pmount_cart_folder = "/ram/mount/";

// Cycles charged for host file work, each at least what the host takes for it
// at ten nanoseconds a cycle. Every operation that reaches the host pays its
// share whether it succeeds or not: a missing file costs its look-up.
// A stat, an access test, an open or removal that fails, a folder made that
// was there.
constexpr int64_t pfile_host_stat_cycles = 768;
// The "re" existence probe: one stat.
constexpr int64_t pfile_probe_cycles = pfile_host_stat_cycles;
// A file opened, tested, read or written to the end and closed; its bytes are
// charged besides.
constexpr int64_t pfile_host_open_cycles = 3072;
// Bytes moved in one cycle: read from or written to the host, or copied
// whole in memory (a RAM file fetched, a file's bytes rebuilt).
constexpr int64_t pfile_bytes_per_cycle = 8;
// A folder opened and closed (a listing, a folder test), and each entry a
// listing reads (one whose kind the listing does not tell is also stat'ed).
constexpr int64_t pfile_host_folder_cycles = 2048;
constexpr int64_t pfile_host_entry_cycles = 64;
// A folder made, a file removed, a folder removed (the slowest: the host
// writes the change through).
constexpr int64_t pfile_host_mkdir_cycles = 16384;
constexpr int64_t pfile_host_unlink_cycles = 16384;
constexpr int64_t pfile_host_rmdir_cycles = 65536;
// A file written whole and synced to the disk, with its folder.
constexpr int64_t pfile_write_cycles = 262144;
// A file's contents replaced whole: its room found, the file opened, the new
// bytes swapped in and the file closed, over buffers of their own.
constexpr int64_t pfile_store_cycles = 64;

struct pfile {
  int32_t kind = pfile_free;
  std::string path;   // normalised path as opened; empty for a folder made by pmkdir
  std::string origin; // host path (kind 1) or RAM path (kind 2)
  buffer_owner data;  // the whole file; its position is the cursor
  uint8_t flags = 0;
  char mode[2] = {0, 0}; // first two letters given to pfopen; cleared by pfclose
  int32_t holds = 0;     // pfopen calls not yet closed: the slot must stay
};

struct pmount {
  int32_t kind = 0;
  std::string mount_point; // normalised; a host mount's as given less one
                           // trailing '/' (so "/" is empty)
  std::string origin;      // host folder, or the RAM path the mount point stands for
  int32_t isr = 0;         // 1: a RAM folder mounted as itself (mount_ram_folder)
  int32_t dirty = 0;
  int64_t flush_deadline = 0; // ms of pdisk_now(); 0 when none pending
  // A cartridge whose file could not be read whole (png form, unknown
  // version, damage): writing its folder back would destroy the file.
  bool keep_file = false;
  int32_t write_failures = 0; // write-backs failed in a row; each waits longer
  // The same mount made again onto the latest record of its mount point adds
  // no record: it counts here, and unmounting takes one away at a time.
  int32_t refs = 1;
  uint64_t seq = 0; // rises in table order: the key of the table's indexes
};

// The tables. Read them freely; claim and free slots, add and remove mounts
// and mark them dirty or clean only through the functions below, which keep
// counts and indexes beside the tables (RAM origins, mount points, the
// origins of RAM mounts) so that no call walks a whole table.
// A slot with holds is in a caller's hands, between pfopen and pfclose.
extern std::array<pfile, pfile_max> pfile_table;
extern std::vector<pmount> pmount_table; // dense, in creation order
extern int32_t next_pfile_index;
extern bool pending_prune;      // set by early clearing, served by the prune
extern bool block_automounting; // set while delete_path (and the automounter) run
extern int64_t total_pdisk_calls;

// Zeroes both tables, on the first call only.
void pfile_init();
// Frees every RAM slot and empties the mount table (boot and reboot). Host
// slots stay for whoever holds them; nothing is written back.
void pfile_reset();

// Milliseconds by which mount deadlines are set.
int64_t pdisk_now();

struct resolved_path {
  std::string path;   // normalised
  std::string origin; // where it lies: a host path or a RAM path
  int32_t kind = 0;   // the serving mount's kind; 0 for an illegal path
  int32_t mount = -1; // the serving mount's index
};
// The origin of a path through the mount that matches it deepest (the earlier
// on a tie). skip_self passes over a mount whose mount point is the path
// itself. A legal path that no mount serves ends the program.
resolved_path resolve_to_origin(std::string_view path, bool skip_self);
// origin + rest with exactly one '/' between.
std::string join_origin(std::string_view origin, std::string_view rest);

// Mode letters: first 'r', 'w' or 'a'; second 'f' (skip_self), 'e' (with 'r':
// existence probe, no data read), 'm' (with 'r': stop after 64 KB), 'b' (none).
// Null for an illegal path, a missing file, a folder, a host file that cannot
// be read or written, or no free slot. A RAM file's slot is the file: opening
// it again gives the same slot.
pfile *pfopen(std::string_view path, const char *mode);
// Writes a host file opened for writing whole (through a temporary file and a
// rename) and frees its slot; marks the mount over a changed RAM file dirty.
// False when the host write failed: the host file is then as it was. Null:
// false, nothing done.
bool pfclose(pfile *f);
int64_t pfread(void *dst, int64_t size, int64_t count, pfile *f);
// A RAM file's bytes are held by the RAM file space (ram_files_holder), so a
// write that would take it past its allowance is refused (short count).
int64_t pfwrite(const void *src, int64_t size, int64_t count, pfile *f);
// Makes `data` the whole content of the open file, its position at the end.
// False when a RAM file's new bytes do not fit the RAM file space: the file
// is then empty, so callers that must keep it ask pfile_room_for first.
bool pfset_data(pfile *f, buffer_owner data);
// Whether `bytes` bytes could become the whole content of the file that path
// names when opened with mode (always for a host file); a refusal is reported.
bool pfile_room_for(std::string_view path, const char *mode, int64_t bytes);

// Mounts, appended to the table. False (nothing appended) for an illegal path
// or a full table.
bool mount_host_path(std::string_view mount_point, std::string_view host_folder);
bool mount_ram_folder(std::string_view path);
// The script's mount: the mount point stands for wherever target resolves to
// now.
bool mount_p_path(std::string_view mount_point, std::string_view target);
// Appends a record unless the table holds refuse_at records already. A record
// identical (kind, mount point, origin, isr) to the latest one of its mount
// point is counted on that one instead: mounting the same again and again
// (the desktop, a script's loop) never fills the table.
bool append_pmount(pmount record, int refuse_at = pmount_refuse_at);

// The index of the first record whose mount point is mount_point; -1.
int first_mount_at(std::string_view mount_point);
// The index of the record with this seq; -1 once it is gone.
int pmount_index_of(uint64_t seq);
// The RAM mount whose origin holds origin most deeply (the earlier on a
// tie); -1 when none does.
int parent_mount_of_origin(std::string_view origin);
// The indexes (ascending) of the records whose mount point is path or lies
// under it.
std::vector<int> mounts_at_or_under(std::string_view path);
// The names of the mount points directly under path, each once, in text
// order; valid until the mounts change. unlisted (when given) gains the
// deeper mount points passed over a subtree at a time.
std::vector<std::string_view> mount_point_children(std::string_view path, int64_t *unlisted);
bool is_mount_point(std::string_view path);

// Marks the RAM mount whose origin holds origin most deeply dirty; its
// deadline is set unless one is pending.
void mark_parent_mount_dirty(std::string_view origin);
void mark_mount_dirty(pmount &m);
// Clears dirty and the deadline.
void mark_mount_clean(pmount &m);
int pmount_dirty_count();
// The seqs of the dirty mounts (table order).
const std::set<uint64_t> &dirty_mount_seqs();

// 0 made; 1 illegal path or the RAM folder exists; 2 no free slot (or no RAM
// file space left); for a host folder the host mkdir's result.
int pmkdir(std::string_view path);

bool pdisk_file_exists(std::string_view path);
// follow: a mount point of a RAM mount counts as a folder when it is one
// (isr), or when its origin is a folder.
bool pdisk_directory_exists(std::string_view path, bool follow);
bool host_directory_exists(const std::string &host_path);
// A RAM file's length or a host path's size; 0 when neither exists.
int64_t pfile_size(std::string_view path, bool skip_self);

// Removes a mount whose mount point is path, then the file or folder.
void delete_path(std::string_view path);
// Unmounts the first mount whose mount point is path (written back first if
// dirty): 1, else 0. A record mounted more than once loses one count. The
// later records move down, which the caller is charged for.
int delete_mount_point(std::string_view path);
// Frees the RAM slots at or under origin; the number freed.
int delete_ram_files_in_path(std::string_view origin);
// The RAM slots whose origin lies under folder (not folder itself), in slot
// order.
std::vector<int32_t> ram_slots_under(std::string_view folder);
// The RAM slots directly under folder, in origin order. unlisted (when
// given) gains the deeper slots passed over a subtree at a time where no
// slot of the folder between stands.
std::vector<int32_t> ram_children(std::string_view folder, int64_t *unlisted);
// Drops every clean cartridge mount (a RAM mount whose origin lies under
// pmount_cart_folder) and its RAM files, except one whose files a caller
// holds; the new mount count.
int delete_clean_ram_mounts();
// Removes mount records (indexes ascending, each once) in one pass; a
// cartridge's RAM files go with it unless a RAM mount still stands on them.
// Nothing is written back.
void remove_pmounts(const std::vector<int> &indexes);
void remove_pmount(size_t index);

// Copies one file whole: the bytes copied (0 when either side cannot be
// opened or the write failed). A file copied onto itself stays as it is.
int64_t fcopy(std::string_view src, std::string_view dst);

// "host:" + origin for a host mount at exactly path, the origin of a RAM mount
// there, nothing when no mount has this mount point.
std::optional<std::string> get_mount_description(std::string_view path);

// Counts kept as slots change.
int pdisk_count_slots_by_kind(int32_t kind);
int pfile_free_count();
// What moving one mount record down costs (an unmount before the end).
constexpr int64_t pmount_move_cycles = 2;
void print_mounts();
