// path_index: path texts in text order and by hash.
#include "pdisk/path_index.h"

#include <algorithm>
#include <random>

namespace {

// Arithmetic modulo the prime 2^61 - 1: a prefix's hash follows from the
// shorter one's in one step, and two texts meet by chance only.
constexpr uint64_t hash_modulus = (uint64_t{1} << 61) - 1;

uint64_t hash_base() {
  static const uint64_t base = [] {
    std::random_device rd;
    uint64_t b = (uint64_t{rd()} << 32 | rd()) % hash_modulus;
    return b < 256 ? b + 256 : b;
  }();
  return base;
}

__extension__ typedef unsigned __int128 hash_wide;

// base: hash_base(), read once by the caller for a whole text.
uint64_t hash_step(uint64_t h, char c, uint64_t base) {
  hash_wide p = static_cast<hash_wide>(h) * base;
  uint64_t r = uint64_t(p & hash_modulus) + uint64_t(p >> 61);
  r += uint64_t(static_cast<unsigned char>(c)) + 1;
  while (r >= hash_modulus) r -= hash_modulus;
  return r;
}

path_index::texts_map::const_iterator find_hashed(const path_index &ix, std::string_view text,
                                                  uint64_t hash) {
  auto [from, to] = ix.hashes.equal_range(hash);
  for (auto it = from; it != to; ++it)
    if (it->second->first == text) return it->second;
  return ix.texts.end();
}

bool has_length(const path_index &ix, size_t n) {
  return n < ix.lengths.size() && ix.lengths[n] > 0;
}

// Segments of a text: characters other than '/' that begin one.
bool starts_segment(std::string_view text, size_t i) {
  return text[i] != '/' && (i == 0 || text[i - 1] == '/');
}

} // namespace

uint64_t path_hash(std::string_view text) {
  uint64_t h = 0, base = hash_base();
  for (char c : text) h = hash_step(h, c, base);
  return h;
}

void path_index_clear(path_index &ix) {
  ix.hashes.clear();
  ix.texts.clear();
  ix.lengths.clear();
}

void path_index_add(path_index &ix, std::string_view text, uint64_t seq) {
  auto it = ix.texts.find(text);
  if (it == ix.texts.end()) {
    it = ix.texts.emplace(std::string(text), path_index::entry{}).first;
    it->second.hash = path_hash(text);
    ix.hashes.emplace(it->second.hash, it);
    if (ix.lengths.size() <= text.size()) ix.lengths.resize(text.size() + 1);
    ix.lengths[text.size()]++;
  }
  it->second.seqs.push_back(seq);
}

void path_index_remove(path_index &ix, std::string_view text, uint64_t seq) {
  auto it = ix.texts.find(text);
  if (it == ix.texts.end()) return;
  std::vector<uint64_t> &seqs = it->second.seqs;
  auto at = std::lower_bound(seqs.begin(), seqs.end(), seq);
  if (at != seqs.end() && *at == seq) seqs.erase(at);
  if (!seqs.empty()) return;
  auto [from, to] = ix.hashes.equal_range(it->second.hash);
  for (auto h = from; h != to; ++h)
    if (h->second == it) {
      ix.hashes.erase(h);
      break;
    }
  ix.lengths[text.size()]--;
  ix.texts.erase(it);
}

const std::vector<uint64_t> *path_index_find(const path_index &ix, std::string_view text) {
  if (!has_length(ix, text.size())) return nullptr;
  auto it = find_hashed(ix, text, path_hash(text));
  return it == ix.texts.end() ? nullptr : &it->second.seqs;
}

std::optional<uint64_t> path_index_deepest(const path_index &ix, std::string_view path,
                                           bool skip_self) {
  // The texts that can match are path's prefixes that end where path ends or
  // before a '/' (the empty one only before a leading '/'), and "/". Their
  // hashes and depths come in one pass; the deepest are tried first.
  // No text is longer than the longest one held, so hashing stops there; a
  // path's few candidates fit on the stack.
  struct candidate {
    size_t length; // of path's prefix, or SIZE_MAX for "/"
    uint64_t hash;
    int depth;
  };
  auto text = [&](const candidate &c) {
    return c.length == SIZE_MAX ? std::string_view("/") : path.substr(0, c.length);
  };
  constexpr size_t inline_candidates = 32;
  candidate near[inline_candidates];
  std::vector<candidate> far;
  size_t count = 0;
  auto add = [&](candidate c) {
    if (count < inline_candidates) near[count] = c;
    else far.push_back(c);
    count++;
  };
  auto at = [&](size_t i) -> const candidate & {
    return i < inline_candidates ? near[i] : far[i - inline_candidates];
  };
  if (has_length(ix, 1)) add({SIZE_MAX, path_hash("/"), 0});
  size_t limit = std::min(path.size(), ix.lengths.empty() ? 0 : ix.lengths.size() - 1);
  uint64_t h = 0, base = hash_base();
  int depth = 0;
  for (size_t k = 0; k <= limit; k++) {
    bool boundary = k == path.size() ? k > 0 : path[k] == '/';
    if (boundary && has_length(ix, k)) add({k, h, depth});
    if (k == limit) break;
    if (starts_segment(path, k)) depth++;
    h = hash_step(h, path[k], base);
  }

  std::optional<uint64_t> best;
  int best_depth = -1;
  for (size_t i = count; i-- > 0;) {
    const candidate *c = &at(i);
    if (c->depth < best_depth) break;
    if (skip_self && text(*c) == path) continue;
    auto it = find_hashed(ix, text(*c), c->hash);
    if (it == ix.texts.end()) continue;
    uint64_t seq = it->second.seqs.front();
    if (!best || seq < *best) best = seq;
    best_depth = c->depth;
  }
  return best;
}

bool path_index_any_under(const path_index &ix, std::string_view folder) {
  std::string prefix = "/";
  if (!folder.empty() && folder != "/") {
    if (folder.back() == '/') folder.remove_suffix(1);
    if (ix.texts.contains(folder)) return true;
    prefix.assign(folder);
    prefix += '/';
  }
  auto it = ix.texts.lower_bound(std::string_view(prefix));
  return it != ix.texts.end() && std::string_view(it->first).starts_with(prefix);
}
