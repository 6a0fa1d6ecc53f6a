// ram_folder: a RAM folder as a list of cartridge entries, both ways, and the
// cartridge forms on top of that.
#pragma once

#include <string_view>
#include <vector>

#include "pdisk/rom_form.h"

struct buffer;

// Longest path an entry is stored under; longer ones are left out.
constexpr size_t cart_entry_path_max = 1023;

// The RAM slots under the RAM path folder, in slot order, named by the rest of
// their origin; a folder's name ends with '/'.
std::vector<cart_entry> collect_ram_folder_entries(std::string_view folder);

// Stores each entry under the virtual path folder + "/" + name: folders with
// pmkdir, files with pfopen "w" and pfclose. Entries whose path is illegal or
// too long are left out. The number stored.
int store_cart_entries_in_ram_folder(std::string_view folder, const std::vector<cart_entry> &entries);

// Fills folder from the cartridge bytes at in's position (rom form, or a plain
// program stored as "main.lua"); leaves the position at the end. Damage stops
// reading; what came before it stays. True when the whole cartridge was read
// and stored: writing the folder back then loses nothing of the file.
bool populate_ram_folder_from_kvt_rom_buffer(std::string_view folder, buffer *in);

// Appends the rom form of the RAM folder to out (options of rom_form.h).
// False, out unchanged, when the folder is too large for the form.
bool write_kvt_rom_from_ram_files(buffer *out, std::string_view folder, int options);

// Fills folder from the text form at in's position; leaves the position at
// the end. What was read before any damage stays. True as for the rom form.
bool populate_ram_folder_from_kvt_buffer(std::string_view folder, buffer *in);

// Appends the text form of the RAM folder to out; hex picks "hex$" over
// "b64$" for bodies that are not plain (write-back passes false).
bool write_kvt_from_ram_files(buffer *out, std::string_view folder, bool hex);

// The png form cannot be read in this build: says so and leaves the folder
// empty (false: nothing of the file was read).
bool populate_ram_folder_from_kvt_png_buffer(std::string_view folder);
