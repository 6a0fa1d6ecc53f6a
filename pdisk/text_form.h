// text_form: the text cartridge form (".kvt" files), as plain lists of entries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pdisk/rom_form.h"

struct buffer;

// First line of every text cartridge the writer makes; readers ignore it.
constexpr std::string_view kvt_text_header = "kestrune cartridge // https://kestrune.invalid/";
constexpr int kvt_text_version = 2;
// Bytes on the first and the following body lines of each encoding.
constexpr int kvt_b64_first_bytes = 54;
constexpr int kvt_b64_line_bytes = 57;
constexpr int kvt_hex_first_bytes = 36;
constexpr int kvt_hex_line_bytes = 38;
// The reader skips base64 lines this long or longer.
constexpr int64_t kvt_b64_line_max = 1024;

// What the reader found.
enum class kvt_text_kind {
  unknown, // no "version" line, or a version other than 1 and 2: nothing read
  legacy,  // version 1, read by the legacy reader
  cart,    // version 2, ended by ":: [eoc]"
  cart_cut // version 2 without ":: [eoc]"; the entries before the end stay
};

// True when the body may be stored as its own text: a "txt" or "lua" entry
// of bytes 1..127 that reads back exactly as written. So no line may begin
// "hex$", "b64$" or ":: " and no line may end in a CR (a CRLF reader would
// eat it); such bodies go out encoded.
bool is_writeable_as_ascii(std::string_view name, std::string_view data);

// The text form of the entries; hex picks "hex$" over "b64$" for bodies that
// are not plain. Folders are entries whose name ends with '/'.
std::string encode_kvt_text(const std::vector<cart_entry> &entries, bool hex);

// Appends the text form to out at its position, leaving the position and the
// length at the end. Refuses (false, out unchanged, the reason on standard
// output and in the host log) a name the reader would not give back as it is
// (empty, holding a blank, a control byte or "..", or "[eoc]"), and output
// past a buffer's size.
bool write_kvt_text_entries(buffer *out, const std::vector<cart_entry> &entries, bool hex);

// Decodes untrusted text, appending the entries found to *entries. Names
// holding ".." are dropped with their bodies (the legacy reader also drops
// absolute names), so every name stays inside the folder it is joined to.
// Messages about damage go to standard output; where names the folder.
kvt_text_kind decode_kvt_text(const uint8_t *data, int64_t size, const char *where,
                              std::vector<cart_entry> *entries);

// decode_kvt_text over a buffer's bytes from its position; leaves the
// position at the end of the content.
kvt_text_kind read_kvt_text_entries(buffer *in, const char *where,
                                    std::vector<cart_entry> *entries);
