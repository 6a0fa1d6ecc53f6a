// The GIF encoder's memory.
#include "gfx/gif_memory.h"

#include <cstdlib>
#include <cstring>

namespace {

void *freeable[gif_freeable_max];
size_t freeable_size[gif_freeable_max];
int freeables = 0;
int64_t in_use = 0;
int64_t limit = gif_memory_cap;

int find_block(const void *block) {
  for (int i = freeables - 1; i >= 0; i--)  // recent blocks are asked for most
    if (freeable[i] == block) return i;
  return -1;
}

}  // namespace

void *gif_malloc_counted(size_t size, int64_t counted) {
  if (counted < static_cast<int64_t>(size) || !gif_memory_room(counted)) return nullptr;
  void *p = calloc(1, size ? size : 1);
  if (!p) return nullptr;
  freeable[freeables] = p;
  freeable_size[freeables] = static_cast<size_t>(counted);
  freeables++;
  in_use += counted;
  return p;
}

extern "C" void *kvt_gif_malloc(size_t size) {
  if (size > static_cast<size_t>(INT64_MAX)) return nullptr;
  return gif_malloc_counted(size, static_cast<int64_t>(size));
}

extern "C" void *kvt_gif_calloc(size_t count, size_t size) {
  if (size && count > SIZE_MAX / size) return nullptr;
  return kvt_gif_malloc(count * size);
}

extern "C" void *kvt_gif_realloc(void *block, size_t size) {
  if (!block) return kvt_gif_malloc(size);
  int i = find_block(block);
  if (i < 0) return realloc(block, size);  // not ours to count
  int64_t grow = static_cast<int64_t>(size) - static_cast<int64_t>(freeable_size[i]);
  if (size > static_cast<size_t>(limit) || in_use + grow > limit) return nullptr;
  void *p = realloc(block, size ? size : 1);
  if (!p) return nullptr;
  if (size > freeable_size[i])
    memset(static_cast<char *>(p) + freeable_size[i], 0, size - freeable_size[i]);
  freeable[i] = p;
  freeable_size[i] = size;
  in_use += grow;
  return p;
}

// Blocks giflib lets go of stay recorded until the recording is over.
extern "C" void kvt_gif_free(void *) {}

void gif_free_all() {
  while (freeables > 0) {
    freeables--;
    free(freeable[freeables]);
    freeable[freeables] = nullptr;
  }
  in_use = 0;
}

void gif_free_early(void *block) {
  int i = block ? find_block(block) : -1;
  if (i < 0) return;
  free(freeable[i]);
  freeable[i] = nullptr;
}

int64_t gif_memory_limit() { return limit; }
void set_gif_memory_limit(int64_t bytes) { limit = bytes; }

int gif_block_count() { return freeables; }
int64_t gif_memory_in_use() { return in_use; }

bool gif_memory_room(int64_t size) {
  return freeables < gif_freeable_max && size >= 0 && size <= limit - in_use;
}
