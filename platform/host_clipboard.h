// host_clipboard: the host clipboard's text.
#pragma once

#include <string>

// The clipboard's text with byte-order marks and carriage returns removed;
// empty when the host has none (or SDL's video is not running).
std::string os_get_clipboard_text();
// Puts text on the host clipboard; it ends at its first NUL.
void os_set_clipboard_text(const std::string &text);
