// The GIF encoder's memory: every block giflib allocates during a recording is
// recorded here, giflib's own frees do nothing, and gif_free_all frees them all
// when the recording ends or fails. The build links a copy of giflib whose
// malloc, calloc, realloc and free are these hooks.
#pragma once

#include <cstddef>
#include <cstdint>

// The allocation table: a few blocks a frame.
constexpr int gif_freeable_max = 16384;
// What one recording may hold (its frames' rasters, maps and extensions). A
// frame that would pass it ends the recording.
constexpr int64_t gif_memory_cap = int64_t{256} << 20;
// The cap in force: gif_memory_cap unless a test or benchmark lowers it to
// reach it sooner (set it while no recording is held).
int64_t gif_memory_limit();
void set_gif_memory_limit(int64_t bytes);
// Kept free for encoding: the encoder copies each image's colour map.
constexpr int64_t gif_encode_reserve = int64_t{1} << 20;

extern "C" {
void *kvt_gif_malloc(size_t size);
void *kvt_gif_calloc(size_t count, size_t size);
void *kvt_gif_realloc(void *block, size_t size);
void kvt_gif_free(void *block);
}

// Zero-filled and recorded; null when the table is full or the cap would be passed.
inline void *gif_malloc(size_t size) { return kvt_gif_malloc(size); }
// The same for a block that counts as `counted` bytes (at least size) against
// the cap and is never resized: a raster kept unscaled counts as the raster at
// its scale that it stands for, so a recording runs as long whatever form its
// frames are kept in.
void *gif_malloc_counted(size_t size, int64_t counted);
inline void *gif_realloc(void *block, size_t size) { return kvt_gif_realloc(block, size); }
// Frees every recorded block, last first.
void gif_free_all();
// Frees a recorded block nothing reads again (a raster once encoded) ahead of
// the rest. It stays counted against the cap, so how long a recording may run
// does not depend on how far its encoding has got.
void gif_free_early(void *block);

int gif_block_count();
int64_t gif_memory_in_use();
// True when the next `size` bytes in one more block still fit.
bool gif_memory_room(int64_t size);
