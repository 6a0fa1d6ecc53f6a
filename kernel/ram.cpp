// The running process's RAM as the interpreter's peek operators read it.
#include "kernel/ram.h"

#include "lkernel.h"

ram_reader_hook ram_reader = {nullptr, nullptr};

static uint64_t read_le(int addr, int bytes) {
  if (!ram_reader.read_byte) return 0;
  uint64_t v = 0;
  for (int i = 0; i < bytes; i++) {
    // Unsigned: the interpreter passes any 32-bit value, and addr + i must not overflow.
    int32_t a = static_cast<int32_t>((static_cast<uint32_t>(addr) + static_cast<uint32_t>(i)) &
                                     ram_address_mask);
    v |= uint64_t{ram_reader.read_byte(ram_reader.context, a)} << (8 * i);
  }
  return v;
}

int peek(int addr) { return static_cast<int>(read_le(addr, 1)); }
int peek2(int addr) { return static_cast<int>(read_le(addr, 2)); }
int peek4(int addr) { return static_cast<int>(static_cast<uint32_t>(read_le(addr, 4))); }
long long peek8(int addr) { return static_cast<long long>(read_le(addr, 8)); }
