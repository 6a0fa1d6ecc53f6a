// cart_mount: cartridges met on a path are mounted as RAM folders filled from
// their files, and changed ones are written back in their form.
#pragma once

#include <cstdint>
#include <string_view>

// Largest cartridge file the mounter reads; a larger one mounts empty and is
// never overwritten.
constexpr int64_t kvt_file_read_max = 256 * 1024 * 1024;
// Pruning drops clean cartridges once more mounts than this exist.
constexpr int pmount_prune_above = 2040;
// More mounts than this left after a prune end the program.
constexpr int pmount_fatal_above = 2045;
// A failed write-back is tried again this long after the failure, doubling
// with each failure in a row up to the cap.
constexpr int64_t pmount_retry_ms = 300;
constexpr int64_t pmount_retry_max_ms = 10000;

// The form a cartridge file is written and read in: the extension's form
// (kvt_path_kind), or for a name with further dots ("my.game.kvt") the one
// its ending names. 0 for a path that is no cartridge.
int kvt_cart_form(std::string_view path);

// Each cartridge name met on a path costs a look-up of its whole prefix, so a
// path is examined only this far (no real path comes near either bound).
constexpr int automount_names_max = 64;
constexpr size_t automount_prefix_max = 4096;

// Offers a normalised path: the cartridge files it passes through (from the
// shortest prefix on) are mounted, unless a folder of that name exists. The
// number of cartridge names it looked up.
int automount_p_path(std::string_view path);

// The mount whose mount point is path, made when there is none: a fresh RAM
// folder "/ram/mount/<8 letters>" filled from the file. The index into
// pmount_table, or -1 (illegal path or one longer than automount_prefix_max,
// cartridge mounts blocked, no room).
int mount_kvt_path(std::string_view path);

// Writes one dirty mount back (delayed: only once its deadline has passed).
// A failed write keeps it dirty and tries again later. Nothing happens while
// a shutdown holder holds write-back back.
void flush_dirty_mount(int index, bool delayed);
// Every dirty mount from the last record to the first, so an inner cartridge
// reaches the one that holds it before that one is written, repeated until
// nothing more is written.
void flush_dirty_mounts_immediately();
// The same for the mounts whose deadline has passed (once a frame).
void flush_dirty_mounts_delayed();
// Once a frame, after the delayed write-back: serves a pending prune, and
// drops clean cartridges when the table runs full.
void prune_mounts();

// Forgets the cartridge mounts at or under path without writing them back:
// the cartridge file was replaced, so what they hold is stale.
void drop_stale_cart_mounts(std::string_view path);
