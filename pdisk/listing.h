// listing: the names in a virtual folder and the order they are shown in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t pflist_max = 65536;

struct pdisk_listing {
  // Sorted by compare_str_item: folders first, each with a trailing '/';
  // each name once, at most pflist_max of them.
  std::vector<std::string> names;
  int32_t folders = 0; // names ending '/'
};

// The files, folders and mount points directly under path. Nothing for an
// illegal path or a host folder that cannot be opened.
std::optional<pdisk_listing> pflist(std::string_view path);

// Listing order: names ending '/' first; then letters without case, digit
// runs by their value (a digit after any other character), a prefix first.
bool compare_str_item(std::string_view a, std::string_view b);
