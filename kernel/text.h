// text: cleaning host text (clipboard, imported files) into the system's
// plain byte form.
#pragma once

#include <string>
#include <string_view>

#include "kernel/buffer.h"

constexpr int buffer_group_clean_text = 112;

// Drops a byte-order mark and every carriage return. The first bytes decide
// the layout: a UTF-8 mark is skipped; a UTF-16 or UTF-32 mark makes one byte
// of every 16- or 32-bit unit be kept (the low byte). Bytes missing from a
// short text never match a mark, and a unit cut short at the end is dropped.
std::string clean_windows_text(std::string_view text);
// The same from a buffer's content into a new buffer (group 112); null gives null.
buffer *clean_windows_text_file(const buffer *buf);
