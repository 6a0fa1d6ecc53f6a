// The video output: a process's video memory made into the host's 480 x 270
// frame through its palettes, line selectors and video mode.
#pragma once

#include <cstdint>

struct process;

constexpr int video_out_width = 480;
constexpr int video_out_height = 270;
constexpr int display_pal_colours = 256;  // four palettes of 64 colour words

// Where the shown process keeps what the frame is made from.
constexpr int32_t video_palette_address = 0x5000;   // 4 x 64 little-endian u32
constexpr int32_t video_selector_address = 0x5400;  // 2 bits a line, 68 bytes
constexpr int32_t video_mode_address = 0x547C;
constexpr int32_t video_flags_address = 0x547F;     // bit 1: no new frame
constexpr int32_t video_remap_address = 0x5480;     // 64 bytes
constexpr int32_t video_memory_address = 0x10000;   // 480 x 270 bytes, rows 480 apart
constexpr int32_t boot_screen_ms = 2200;             // the boot clock ends the boot screen here

// Words 0-255: colour c of palette p at p*64 + c, remapped. Then the palette
// number of each output row. Both as of the last frame made; captures read them.
extern uint32_t display_pal[display_pal_colours + video_out_height];
// The last frame made, rows 480 words apart. Lives for the whole run.
extern uint32_t back_page[video_out_width * video_out_height];

// Makes S's frame into back_page and returns it, or returns null (leaving
// display_pal and back_page as they were) when bit 1 of S's byte 0x547F is
// set. Reads S's RAM only, and never allocates a page of it.
const uint32_t *make_video_frame(const process *S);

// Frames are made sixteen pixels a step where the processor has 512-bit
// permutes, else two pixels a look-up. Tests and benchmarks switch between the
// two; on asks for the wide way, which is only taken where it exists. Returns
// whether it is now taken.
bool use_wide_video_lookups(bool on);

// The frame of this host frame: the display process's once it exists, the boot
// clock has reached 2200 ms and the userland has released the boot screen
// (notes app.boot_finished on the way). Sets 480 x 270 when it gives one;
// null (sizes untouched) when the shown process asks for none.
const uint32_t *generate_video_out(int *width, int *height);

// The 480 x 270 bytes of S's video memory (rows 480 apart) by the address
// rule: bytes past a page's mapped length, or in a page that holds no memory,
// read 0. Never allocates a page.
void read_video_memory(const process *S, uint8_t *dst);

// generate_video_out in the shape end_frame takes.
const uint32_t *video_out_picture();
