// Paged process RAM: every process's 16 MB address space, served page by page
// by its own 4 KB blocks or by windows onto userdata elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct process;

constexpr int ram_page_count = 4096;
constexpr int32_t ram_page_size = 4096;
constexpr int32_t ram_address_mask = 0xFFFFFF;  // addresses wrap into 16 MB
constexpr int64_t ram_space_size = 0x1000000;
// Pages 0-15 (0x0-0xFFFF) are the system pages: every process has them from
// creation, and a userdata is mapped there only in whole pages.
constexpr int ram_system_pages = 16;
constexpr uint8_t page_flags_written = 0xFF;   // every write stores this
constexpr uint8_t page_flag_mirror = 1;        // changed since the audio mirror's refresh
constexpr uint8_t page_flag_colour_table = 2;  // a colour table that differs from the default
constexpr int32_t ram_gc_flags_address = 0x547F;

// A userdata's elements as the RAM maps them. `owner` names the userdata (its
// record); the caller keeps it alive while any page points into it.
struct ram_window {
  const void *owner;
  uint8_t *elements;
  int64_t size;  // bytes the elements use
};

// A userdata some page of the map points into. A slot with no pages is free.
struct ram_window_slot {
  const void *owner;
  uint8_t *elements;
  int32_t pages;
};

// The page map of one process.
struct process_ram {
  // Page p serves its first mapped_len[p] offsets from page_map[p]; the offsets
  // beyond come from own_page[p] (allocated on first touch).
  uint8_t *page_map[ram_page_count] = {};
  int32_t mapped_len[ram_page_count] = {};
  uint8_t page_flags[ram_page_count] = {};
  uint8_t *own_page[ram_page_count] = {};
  uint64_t mapped_pages[ram_page_count / 64] = {};  // bit p: page_map[p] points into a userdata
  uint64_t own_pages[ram_page_count / 64] = {};     // bit p: own_page[p] is allocated
  // Bit p: page p was written since the audio mirror last took it (bit 0 of
  // its flags), so a refresh visits only those pages.
  uint64_t mirror_pages[ram_page_count / 64] = {};
  uint16_t page_window[ram_page_count] = {};        // slot + 1 of that userdata; 0 when none
  std::vector<ram_window_slot> windows;
  void *current_map = nullptr;  // the i16 userdata mapped at 0x100000 (the map drawing reads)

  process_ram() = default;
  process_ram(const process_ram &) = delete;
  process_ram &operator=(const process_ram &) = delete;
  ~process_ram();  // gives the own pages back; windows belong to their userdata
  // The records' memory is kept for the next process's.
  static void *operator new(size_t bytes);
  static void operator delete(void *map);
};

// Gives a new process pages 0-15 (own blocks, mapped length 4096; ram_bytes
// += 0x10000; colour-table pages 8-11 flagged 2). False when the blocks could
// not be had: the process then has no RAM.
bool ram_init(process *P);
// Frees the own pages and forgets every window and the current map. Called
// once the process's Lua state is closed (the windows' userdata are gone).
void ram_release(process *P);

// Pages served by anything (an own block or a userdata), bit p of word w
// standing for page 64 w + p: every other page reads as zeros.
inline uint64_t ram_pages_present(const process_ram &r, int w) {
  return r.own_pages[w] | r.mapped_pages[w];
}
// The audio mirror holds page p as it is now: bit 0 of its flags and its bit
// in mirror_pages are cleared.
void ram_page_mirrored(process_ram &r, int p);

// Where own blocks come from: a zeroed 4096-byte block released with free(),
// or null when there is none. Tests swap in a failing one.
extern uint8_t *(*ram_page_alloc)();
// Between frames: makes a bounded amount of warm memory ready for the RAM of
// processes still to come (pages whose host memory is in already).
void ram_make_memory_ready();
// Own blocks kept warm for the next process's RAM.
size_t ram_memory_kept_ready();

/* ---------------------------------------------------------------------- */
/* bytes                                                                  */
/* ---------------------------------------------------------------------- */

// On the current process (the interpreter's peek operators call the four
// readers through lkernel.h). Little-endian; every byte's address wraps on its
// own, so a value may straddle pages or a window and an own block. Reads
// allocate just as writes do. Without a current process reads give 0 and
// writes do nothing.
int peek(int addr);
int peek2(int addr);  // signed 16-bit
int peek4(int addr);
long long peek8(int addr);
void poke(int addr, int v);  // the low 8, 16, 32 or 64 bits
void poke2(int addr, int v);
void poke4(int addr, int v);
void poke8(int addr, long long v);

// On a given process: 0 and nothing for a null record or one without RAM.
int peek_proc(process *P, int addr);
int peek2_proc(process *P, int addr);
int peek4_proc(process *P, int addr);
void poke_proc(process *P, int addr, int v);

// Another process's RAM as the video output reads it: by the address rule, but
// nothing is allocated or charged, and a page never touched reads 0. A null
// page map reads 0 everywhere.
uint8_t ram_byte_untouched(const process_ram *r, uint32_t addr);
void ram_read_untouched(const process_ram *r, uint32_t addr, uint8_t *dst, int n);
// The same on a process record, little-endian and signed: _ppeek, _ppeek4 and
// the display size of another process.
int ppeek_proc(const process *P, int addr);
int ppeek2_proc(const process *P, int addr);
int ppeek4_proc(const process *P, int addr);

// The mapped length of the page that holds addr (wrapped into 16 MB).
int32_t ram_mapped_len(const process *P, int64_t addr);

// Writes n bytes from addr on (each address wrapped), as pokes of them would:
// a region at a time. Returns the cost as ram_memset counts it.
int64_t ram_write(process *P, int64_t addr, const uint8_t *src, int64_t n);
// The same without marking the pages written: state the system itself keeps
// in RAM for scripts to read, which no mirror of the RAM has to follow.
void ram_write_unflagged(process *P, int64_t addr, const uint8_t *src, int64_t n);

/* ---------------------------------------------------------------------- */
/* blocks (current process; each returns the cycles for the caller to charge)  */
/* ---------------------------------------------------------------------- */

// Fills n bytes with value & 0xFF, region chunk by region chunk, each chunk's
// address wrapped into 16 MB: cost chunk / 128 + 1 per chunk. n <= 0: cost 0.
int64_t kvt_memset(int64_t addr, int value, int64_t n);
// Copies n bytes. Ranges that overlap in the address space give a move and
// cost n / 8; others are copied forward chunk by chunk (chunk / 128 + 1 each).
// Wherever the bytes behind two addresses are the same (two windows onto one
// userdata) the result is that of a byte-by-byte copy in the same direction.
// dst = src (after wrapping) or n <= 0: nothing, cost 0.
int64_t kvt_memcpy(int64_t dst, int64_t src, int64_t n);
// The same on a given process.
int64_t ram_memset(process *P, int64_t addr, int value, int64_t n);
int64_t ram_memcpy(process *P, int64_t dst, int64_t src, int64_t n);
// Copies whole pages a >> 12 up to but not including b >> 12 from one process to
// another, skipping pages `from` has nothing at; each byte lands where the
// address rule puts it in `to` (a window's length is honoured).
void kvt_pmemcpy_pages(process *from, process *to, int64_t a, int64_t b);

/* ---------------------------------------------------------------------- */
/* windows                                                                */
/* ---------------------------------------------------------------------- */

// Maps w's elements from byte `offset` (low two bits cleared) at addr's page:
// n = len, or what follows the offset when len is absent, clamped to that; no
// page past 4095 is mapped, and below 0x10000 only whole pages are. Returns n
// (possibly <= 0, then nothing is mapped), or nothing when the offset lies
// outside the elements. Userdata that lost their last page are added to
// `released`.
std::optional<int64_t> ram_map(process *P, const ram_window &w, int64_t addr, int64_t offset,
                               std::optional<int64_t> len, std::vector<const void *> &released);
// Unmaps the pages that point into w's first min(len, size) bytes and lie in
// addr's range (every page when addr < 0). True when none of them stayed.
// Unmapped pages go back to their own blocks (mapped length 0).
bool ram_unmap(process *P, const ram_window &w, int64_t addr, int64_t len,
               std::vector<const void *> &released);
// What a map or unmap of P looks through besides the pages it sets: its
// window slots and its mapped pages.
int64_t ram_window_walk(const process *P);
// Pages of P that point into the userdata.
int32_t ram_window_pages(const process *P, const void *owner);
// The Lua block [block, block + size) of P's state is being freed: every page
// pointing into it goes back to its own block and a current map inside it is
// forgotten. The anchors keep mapped userdata alive; this holds even when a
// script has reached the anchors through the debug library and removed them.
void ram_block_freed(process *P, const void *block, size_t size);
