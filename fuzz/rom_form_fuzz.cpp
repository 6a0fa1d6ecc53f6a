// rom_form_fuzz: the rom reader on arbitrary bytes; what it reads from a rom
// form must survive writing and reading again unchanged.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "kernel/buffer.h"
#include "kernel/held_memory.h"
#include "pdisk/rom_form.h"

// Re-encoding runs LZ4 HC; past this the round trip costs more than it finds.
static constexpr size_t max_round_trip = 1 << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<cart_entry> entries;
  kvt_rom_kind kind = decode_kvt_rom(data, int64_t(size), "/fuzz", &entries);
  if (process_memory_room(nullptr) != unowned_memory_room) std::abort();  // nothing stays held
  if (kind != kvt_rom_kind::cart && kind != kvt_rom_kind::cart_damaged) return 0;

  size_t total = 0;
  for (const cart_entry &e : entries) total += e.name.size() + e.data.size();
  if (total > max_round_trip) return 0;

  buffer_owner out(create_buffer_2(0, 0));
  if (!write_kvt_rom_entries(out.get(), entries, 0)) std::abort();
  std::vector<cart_entry> again;
  kvt_rom_kind kind2 = decode_kvt_rom(out->data, out->length, "/fuzz", &again);
  if (kind2 != kvt_rom_kind::cart || again != entries) std::abort();
  return 0;
}
