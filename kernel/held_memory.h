// Host memory held on a process's behalf: what decoders, encoders and other
// bindings allocate outside the Lua heap is charged to the process they work
// for while it is held, and never grows past what that process may still hold
// under its memory cap.
#pragma once

#include <cstdint>

struct process;

// Holder id of work done while no process is current (start-up, tools,
// tests): such holds share one allowance of unowned_memory_room bytes.
constexpr int64_t no_process_holder = -1;
constexpr int64_t unowned_memory_room = 0x2000000;
// Holder id of the RAM file space: RAM files outlive the processes that write
// them, so their bytes are held against an allowance of their own.
constexpr int64_t ram_files_holder = -2;
extern int64_t ram_files_room;  // 256 MiB; tests lower it

// Bytes the process may still take before its memory in use passes the cap;
// 0 once past it. A null process: what the unowned allowance has left.
int64_t process_memory_room(const process *P);
// The same by holder id (a process id, or no_process_holder). A process that
// is gone has no room.
int64_t host_memory_room(int64_t holder);
// The id that holds for the current process (no_process_holder when none).
int64_t current_memory_holder();

// Adds bytes (negative to give back) to what the holder holds. An increase
// beyond its room is refused: false, nothing charged. Giving back to a
// process that is gone does nothing. Holder 0 stands for nobody: always true.
bool charge_host_memory(int64_t holder, int64_t bytes);

// One amount of host memory held for the process current at its creation,
// given back when it goes out of scope (also when a Lua error unwinds it).
class memory_hold {
 public:
  memory_hold();
  ~memory_hold();
  memory_hold(const memory_hold &) = delete;
  memory_hold &operator=(const memory_hold &) = delete;

  // Holds `bytes` in all from now on (less gives back). False, with nothing
  // changed, when the increase is more than the process may still hold.
  bool hold(int64_t bytes);
  // What hold() may add to what is held now.
  int64_t room() const { return host_memory_room(holder_); }
  int64_t held() const { return held_; }

 private:
  int64_t holder_;
  int64_t held_ = 0;
};
