// tuk: the system's text form of Lua values (messages, object-data files, the
// file history), with its binary items, LZ4 and base64 wrappers and the
// metadata header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kernel/buffer.h"

struct lua_State;

// Writer flags.
constexpr int tuk_flag_zqu = 0x01;             // u8 userdata as zqu items
constexpr int tuk_flag_lz4 = 0x02;             // the whole text in an LZ4 wrapper
constexpr int tuk_flag_base64 = 0x04;          // the whole result in the base64 wrapper
constexpr int tuk_flag_raw_zqu = 0x10;         // zqu items in the raw form
constexpr int tuk_flag_binary_strings = 0x20;  // strings as length-prefixed items

// Tables (and wrapped bodies) nest at most this deep on either side: a deeper
// or cyclic value fails the call instead of exhausting the C stack.
constexpr int tuk_depth_max = 200;
// Longest string the reader makes.
constexpr int64_t tuk_string_max = 16777215;

// Writes the value at `index` at the buffer's position, wrapped as the flags
// ask. The buffer (and what the writer holds besides) is charged to the
// current process (kernel/held_memory.h) and never grows past what it may
// still hold; the content never passes max_length. Charges spend_cpu_or_stop
// as it goes, so a value too costly to write ends in the cpu limit error.
// False when the value nests deeper than tuk_depth_max (a cycle does), or its
// text would pass either bound; the buffer may then hold part of the text.
bool stringify_object(lua_State *L, int index, buffer *buf, int depth, int flags,
                      int64_t max_length = buffer_max_length);
// The unwrapped text form of one value, bounded and charged the same way.
bool stringify_object_recursive(lua_State *L, int index, buffer *buf, int depth, int flags);

// Parses a whole text (of `length` bytes; NULs may occur inside binary items)
// and pushes the results: 0 (it does not parse), 1 (the value) or 2 (the
// value and its metadata table). What it decodes into host memory (strings,
// base64 and LZ4 bodies) is held for the current process and bounded by what
// it may still hold. Charges spend_cpu_or_stop as it goes. Never raises a Lua
// error but for memory and the cpu limit. The text must stay alive and
// unchanged meanwhile: a Lua string on the stack, or host memory.
int destringify_object(lua_State *L, const char *text, size_t length);
// For a text that starts with "--[[tuk": pushes the header's table (with the
// entries read before an error, when it does not parse); returns 1.
int destringify_object_metadata(lua_State *L, const char *text, size_t length);
// 0 when the text does not start with "--[[tuk"; else the length of its header
// with the "]]" and one newline after it (the whole text when "]]" never comes).
size_t find_metadata_length(std::string_view text);
