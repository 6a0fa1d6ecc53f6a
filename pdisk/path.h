// path: the rules of virtual paths (legality, joining to the working
// directory, collapsing) and the name rules that hang on them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A longer segment is dropped from a collapsed path.
constexpr size_t path_segment_max = 254;
// The working directory field holds at most this many characters.
constexpr size_t pwd_max = 256;
// A protocol name before "://" has 1 to this many characters.
constexpr size_t path_protocol_max = 15;

// Rules 1 and 2 of a path: not empty, not starting with '#' or '-'; before the
// first '#' only letters, digits and "-./_"; after it no control byte or DEL.
bool is_legal_kestrune_path(std::string_view path);

// What a working directory must be for relative paths to join it: a legal,
// absolute path of at most pwd_max characters. Relative paths against any
// other working directory are illegal, so a raw `cd` cannot break resolution.
bool is_legal_working_directory(std::string_view pwd);

// Collapses runs of '/', "." and ".." segments and over-long segments; keeps a
// protocol prefix ("name://") as it is. The userland's own normaliser; trace
// prints every step on standard output.
std::string collapse_path(std::string_view text, bool trace = false);

// What one normalising costs whatever the path's length (its copies, and
// mostly a resolution after it); a file call may normalise its path several
// times.
constexpr int64_t path_walk_cycles = 32;

// The normalised absolute path, or nothing for an illegal path. A relative
// path joins pwd. The result is legal, absolute, collapsed and normalises to
// itself.
std::optional<std::string> normalise_kestrune_path_from(std::string_view path,
                                                        std::string_view pwd);
// The same against the current process's working directory ("/" when none).
std::optional<std::string> normalise_kestrune_path(std::string_view path);

// The number of segments of mount_point when it is path or a folder above it,
// else -1. "/" and the empty mount point match every absolute path at 0.
int get_path_parent_match_depth(std::string_view mount_point, std::string_view path);

// True when path is folder or lies under it.
bool path_is_under(std::string_view path, std::string_view folder);

// The lower-cased extension of the last segment: the text after its second
// last '.' when it has two or more ("a.kvt.rom" gives "kvt.rom"), after its
// only '.', or empty.
std::string get_ext(std::string_view path);

// Cartridge forms by extension.
constexpr int kvt_kind_text = 1; // "kvt"
constexpr int kvt_kind_rom = 2;  // "kvt.rom"
constexpr int kvt_kind_png = 3;  // "kvt.png"
int kvt_path_kind(std::string_view path);
