// Cycle and memory accounting: the cycle counters shared with the interpreter,
// spend_cpu, the forced stop, and the allocator that counts each process's heap.
#pragma once

#include <cstddef>
#include <cstdint>

struct lua_State;
struct process;

// The running slice's counters (the interpreter reads and adds to them through
// lkernel.h). Between slices they hold whatever the enclosing level saved.
extern int cpu_cycles;
extern int cpu_cycles_max;
extern int cpu_superyielding;

// Makes the interpreter stop a yieldable thread at its next instruction.
constexpr int cpu_superyield_value = 0x40000000;
// Every process's share of a frame: all slices of one frame together.
constexpr int32_t frame_cycle_budget = 279620;
// Where the kernel's own charges stop. Below INT32_MAX so that the
// interpreter's per-instruction adds, which go on while a thread cannot
// yield, still have room before the 32-bit count would wrap.
constexpr int32_t cpu_cycles_ceiling = 0x3FFFFFFF;

// Memory in use is RAM pages + charged heap + held host memory - baseline +
// this reserve.
constexpr int64_t process_memory_reserve = 0x80000;
constexpr int64_t process_memory_cap = 0x2000000;
// A single allocation that would take a process past this is refused outright,
// so one request cannot make the host run out of memory before the cap check
// after the slice gets a chance to remove the process.
constexpr int64_t process_memory_hard_limit = 4 * process_memory_cap;

// Charges max(n, 1) cycles for n >= 0, nothing for a negative n. Saturates.
void spend_cpu(int64_t n);
// Ends the running slice at the next instruction of a yieldable thread.
void superyield();

// How far past its cap a slice may run before the runtime stops the running
// code with an error: the same ten frames that bound the cycle debt. Code that
// cannot yield (a metamethod called from a host function, a finalizer) and a
// host function doing unbounded work both end there.
constexpr int64_t cpu_overrun_limit = 10 * int64_t{frame_cycle_budget};
// The error raised at that point.
constexpr const char *cpu_limit_message = "cpu limit exceeded";
// True once the running slice is past its cap by more than cpu_overrun_limit.
bool cpu_overrun();
// spend_cpu, then the cpu limit error in L once the slice has overrun. For host
// loops a script can make long: call it as the work goes, not only at the end.
void spend_cpu_or_stop(lua_State *L, int64_t n);
// cpu_limit_message once the slice has overrun, else null: the interpreter's
// check before each instruction of code that cannot yield (lkernel.h).
const char *cpu_limit_reached();

// A line written to the host's standard output, flushed: a terminal takes
// microseconds to take one in, whatever its length, and its bytes cost
// besides. Charged before it is written (print and _printh).
constexpr int64_t host_line_cycles = 1024;
constexpr int64_t host_line_bytes_per_cycle = 16;
void spend_host_line(lua_State *L, size_t bytes);

// What a collection that may go over `bytes` bytes of heap costs: a full one
// goes over all of it (collectgarbage, stat, _signal(38)).
int64_t collection_cycles(int64_t bytes);
// A full collection of L's state, charged by its heap before it runs.
void charged_full_collection(lua_State *L);

// Gathers a long host loop's small charges, each as spend_cpu would take it,
// and spends them a step at a time: the loop ends with the cpu limit error
// without a check per item. flush() spends what is left.
struct gathered_charge {
  lua_State *L;
  int64_t step;
  int64_t cycles = 0;
  void charge(int64_t n) {
    if (n < 0) return;
    cycles += n > 1 ? n : 1;
    if (cycles >= step) flush();
  }
  void flush() {
    int64_t n = cycles;
    cycles = 0;
    if (n > 0) spend_cpu_or_stop(L, n);
  }
};

// The Lua allocator of every process state. `ud` is the owning process record;
// each block carries its charged size in an 8-byte header.
void *l_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int last_try, size_t charged);

// RAM pages + charged heap + held host memory - baseline + the reserve (what
// the cap, stat(0) and the process list report).
int64_t process_memory_in_use(const process *P);
bool process_over_memory_cap(const process *P);

// _signal(38): a full collection of the process's state, then the first call
// records the heap as the baseline; later calls keep it.
void record_heap_baseline(process *P);

// Work the system does for itself outside any slice (the boot screen, captures,
// cartridge labels) through code that charges cycles: the counters are put back
// when it ends, and no cpu limit cuts it short.
struct uncharged_work {
  int cycles = cpu_cycles, max = cpu_cycles_max, super = cpu_superyielding;
  uncharged_work() { cpu_cycles_max = cpu_cycles_ceiling; }
  ~uncharged_work() {
    cpu_cycles = cycles;
    cpu_cycles_max = max;
    cpu_superyielding = super;
  }
  uncharged_work(const uncharged_work &) = delete;
  uncharged_work &operator=(const uncharged_work &) = delete;
};
