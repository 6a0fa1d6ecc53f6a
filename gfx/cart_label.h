// The text of a png cartridge's label: the title, version and author from the
// cartridge's ".info.tuk", printed in the boot screen's font by a private
// process record into a small bitmap.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int label_text_width = 178;
constexpr int label_text_height = 20;
// Longest field printed (bytes); longer values are cut.
constexpr size_t label_title_max = 199;
constexpr size_t label_version_max = 199;
constexpr size_t label_author_max = 799;

struct label_fields {
  std::string title, version, author;  // empty: absent
};

// The values after the first ",title=\"", ",version=\"" and ",author=\"" up to
// the closing double quote (a backslash before one makes it part of the value),
// each cut to its maximum.
label_fields extract_label_text(std::string_view info_tuk);

// The two label lines ("by" + author, or the version and "by" + author) printed
// in colour 7: label_text_width x label_text_height bytes, row by row, non-zero
// where text was drawn. Never touches the running process's state.
std::vector<uint8_t> draw_label_text(std::string_view info_tuk);
