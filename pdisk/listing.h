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
  // RAM files and mount points looked at but not listed (hidden, under a
  // mount point, or deeper ones passed over a subtree at a time).
  int64_t unlisted = 0;
};

// The files, folders and mount points directly under path. Nothing for an
// illegal path or a host folder that cannot be opened.
std::optional<pdisk_listing> pflist(std::string_view path);

// Listing order: names ending '/' first; then letters without case, digit
// runs by their value (a digit after any other character), a prefix first.
bool compare_str_item(std::string_view a, std::string_view b);
// A text whose byte order is compare_str_item's order (names it holds equal
// get equal keys): sorting keys with memcmp costs a fraction of sorting
// names by the rule.
std::string listing_key(std::string_view name);
// listing_key(name) appended to key.
void append_listing_key(std::string &key, std::string_view name);
