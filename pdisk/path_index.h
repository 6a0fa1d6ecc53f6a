// path_index: path texts (mount points, mount origins, RAM origins) kept in
// text order and by hash, so that the folders above a path, the names under a
// folder and a text itself are found without going over every record.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A hash of a text that any of its prefixes can be hashed for in passing.
// Its base is drawn once a run, so no script can aim texts at one bucket.
uint64_t path_hash(std::string_view text);

// The records that hold each text, by a number that rises in the records'
// own order (a mount's seq): the first of a text is the earliest record.
struct path_index {
  struct entry {
    std::vector<uint64_t> seqs; // ascending
    uint64_t hash = 0;
  };
  using texts_map = std::map<std::string, entry, std::less<>>;
  texts_map texts;
  std::unordered_multimap<uint64_t, texts_map::iterator> hashes;
  std::vector<int32_t> lengths; // texts of each length
};

void path_index_clear(path_index &ix);
// seq must be above every seq the text holds already.
void path_index_add(path_index &ix, std::string_view text, uint64_t seq);
void path_index_remove(path_index &ix, std::string_view text, uint64_t seq);
// The records of a text (ascending), or null.
const std::vector<uint64_t> *path_index_find(const path_index &ix, std::string_view text);

// The earliest record among the texts that match path most deeply, by the
// rule of get_path_parent_match_depth (a text that is path, or a folder above
// it; "/" and the empty text match at depth 0). skip_self passes over the text
// that is path itself. Nothing when no text matches.
std::optional<uint64_t> path_index_deepest(const path_index &ix, std::string_view path,
                                           bool skip_self);

// Whether a text lies at or under folder (path_is_under).
bool path_index_any_under(const path_index &ix, std::string_view folder);

// Visits the keys of an ordered map (text order, transparent comparison)
// that lie directly under folder, a subtree of deeper keys at a time: each
// is passed over with one search. visit(name, iterator). The number of
// subtrees passed over whose top is no key of its own, so that a walk can be
// charged for what it looked at. visit must leave the map as it is.
template <class Map, class Visit>
int64_t for_each_child(const Map &map, std::string_view folder, Visit visit) {
  std::string prefix(folder);
  if (prefix != "/") prefix += '/';
  int64_t orphans = 0;
  auto it = map.lower_bound(std::string_view(prefix));
  while (it != map.end()) {
    std::string_view key = it->first;
    if (!key.starts_with(prefix)) break;
    std::string_view rest = key.substr(prefix.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
      if (!rest.empty()) visit(rest, it);
      ++it;
      continue;
    }
    // Every key beginning prefix + segment + '/' sorts before
    // prefix + segment + '0', '0' being the character after '/'.
    std::string top = prefix;
    top.append(rest.substr(0, slash));
    if (slash == 0 || map.find(std::string_view(top)) == map.end()) orphans++;
    top += '0';
    it = map.lower_bound(std::string_view(top));
  }
  return orphans;
}

// Visits the keys at or under folder (path_is_under) in text order; visit
// must leave the map as it is.
template <class Map, class Visit> void for_each_under(const Map &map, std::string_view folder, Visit visit) {
  std::string prefix = "/";
  if (!folder.empty() && folder != "/") {
    if (folder.back() == '/') folder.remove_suffix(1);
    if (auto it = map.find(folder); it != map.end()) visit(it);
    prefix.assign(folder);
    prefix += '/';
  }
  for (auto it = map.lower_bound(std::string_view(prefix)); it != map.end(); ++it) {
    if (!std::string_view(it->first).starts_with(prefix)) break;
    visit(it);
  }
}
