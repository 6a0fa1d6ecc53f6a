// Host memory held on a process's behalf.
#include "kernel/held_memory.h"

#include <algorithm>

#include "kernel/accounting.h"
#include "kernel/process.h"

namespace {

int64_t unowned_held = 0;
int64_t ram_files_held = 0;

// The record of a holder id; the current process is the usual one.
process *holder_process(int64_t holder) {
  if (cproc && cproc->id == holder) return cproc;
  return holder > 0 ? get_process(holder) : nullptr;
}

}  // namespace

int64_t ram_files_room = int64_t{256} << 20;

int64_t process_memory_room(const process *P) {
  if (!P) return std::max<int64_t>(unowned_memory_room - unowned_held, 0);
  return std::max<int64_t>(process_memory_cap - process_memory_in_use(P), 0);
}

int64_t host_memory_room(int64_t holder) {
  if (holder == no_process_holder) return process_memory_room(nullptr);
  if (holder == ram_files_holder) return std::max<int64_t>(ram_files_room - ram_files_held, 0);
  process *P = holder_process(holder);
  return P ? process_memory_room(P) : 0;
}

int64_t current_memory_holder() { return cproc ? cproc->id : no_process_holder; }

bool charge_host_memory(int64_t holder, int64_t bytes) {
  if (holder == 0 || bytes == 0) return true;
  if (bytes > 0 && bytes > host_memory_room(holder)) return false;
  if (holder == no_process_holder || holder == ram_files_holder) {
    int64_t &held = holder == no_process_holder ? unowned_held : ram_files_held;
    held = std::max<int64_t>(held + bytes, 0);
    return true;
  }
  // A process gone (or restarted: its count starts again) keeps nothing.
  if (process *P = holder_process(holder)) P->host_bytes = std::max<int64_t>(P->host_bytes + bytes, 0);
  return true;
}

memory_hold::memory_hold() : holder_(current_memory_holder()) {}

memory_hold::~memory_hold() { charge_host_memory(holder_, -held_); }

bool memory_hold::hold(int64_t bytes) {
  bytes = std::max<int64_t>(bytes, 0);
  if (!charge_host_memory(holder_, bytes - held_)) return false;
  held_ = bytes;
  return true;
}
