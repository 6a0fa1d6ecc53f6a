// path: the rules of virtual paths and the name rules that hang on them.
#include "pdisk/path.h"

#include <cstdio>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"

namespace {

bool is_path_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '/' || c == '_';
}

// Length of a leading "name://" (name of 1 to 15 characters), else 0.
size_t protocol_length(std::string_view text) {
  size_t colon = text.substr(0, path_protocol_max + 1).find(':');
  if (colon == std::string_view::npos || colon < 1) return 0;
  if (text.substr(colon + 1, 2) != "//") return 0;
  return colon + 3;
}

// Where a protocol prefix that follows the first '#' ends ("/a#http://x":
// just past "://"), else 0. Its name holds no '/', so the segment holding the
// '#' is never ".." and the segments before it are split as usual.
size_t protocol_after_hash_end(std::string_view text) {
  size_t hash = text.find('#');
  if (hash == std::string_view::npos) return 0;
  size_t n = protocol_length(text.substr(hash + 1));
  if (n == 0 || text.substr(hash + 1, n - 3).find('/') != std::string_view::npos) return 0;
  return hash + 1 + n;
}

// The userland's own normaliser keeps a protocol prefix at the start; a
// virtual path (which cannot start with one) keeps one after its '#' whole.
std::string collapse(std::string_view text, bool keep_protocol, bool trace) {
  if (trace) std::printf(":: collapse: [%s]\n", std::string(text).c_str());
  std::string out;
  size_t at = 0;
  size_t floor = 0; // out never shrinks below this: the root or the protocol
  if (keep_protocol && (at = protocol_length(text)) > 0) {
    out.assign(text.substr(0, at));
    floor = at;
    if (trace) std::printf("skipping prot: %s\n", out.c_str());
  } else if (!text.empty() && text[0] == '/') {
    out = "/";
    floor = 1;
  }
  std::vector<size_t> starts; // where each kept segment (with its separator) begins
  size_t glued = keep_protocol ? 0 : protocol_after_hash_end(text);
  size_t hash = text.find('#');
  bool kept_protocol = false;
  while (at < text.size()) {
    size_t end = text.find('/', at);
    if (end == std::string_view::npos) end = text.size();
    if (glued > 0 && at <= hash && end > hash) {
      // The segment holding the '#', with its protocol's "://", stays whole:
      // a prefix that no later ".." folds into.
      std::string_view seg = text.substr(at, glued - at);
      at = glued;
      if (seg.size() - 2 > path_segment_max) continue;
      if (out.size() > floor) out += '/';
      out += seg;
      floor = out.size();
      starts.clear();
      kept_protocol = true;
      if (trace) std::printf("skipping prot: %s\n", out.c_str());
      continue;
    }
    std::string_view seg = text.substr(at, end - at);
    at = end + 1;
    if (seg.empty()) continue;
    if (seg == ".") {
      if (trace) std::printf("  skipped .  -> %s\n", out.c_str());
      continue;
    }
    if (seg == "..") {
      if (!starts.empty()) {
        out.resize(starts.back());
        starts.pop_back();
      }
      if (trace) std::printf("  folded ..  -> %s\n", out.c_str());
      continue;
    }
    if (seg.size() > path_segment_max) continue;
    starts.push_back(out.size());
    if (out.size() > floor) out += '/';
    out += seg;
    if (trace) std::printf("  left segment: %s  -> %s\n", std::string(seg).c_str(), out.c_str());
  }
  // Nothing after the protocol: its "//" would not survive normalising again
  // (a trailing '/' goes first), so it goes now.
  if (kept_protocol && out.size() == floor) out.resize(out.size() - 2);
  if (out.empty()) out = "/";
  if (trace) std::printf("  --> [%s]\n", out.c_str());
  return out;
}

} // namespace

bool is_legal_kestrune_path(std::string_view path) {
  if (path.empty() || path[0] == '#' || path[0] == '-') return false;
  size_t i = 0;
  for (; i < path.size() && path[i] != '#'; i++)
    if (!is_path_char(static_cast<unsigned char>(path[i]))) return false;
  // Past the '#' names may hold any text, but not bytes that break a line,
  // a log entry or a host file name.
  for (; i < path.size(); i++) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool is_legal_working_directory(std::string_view pwd) {
  return pwd.size() <= pwd_max && !pwd.empty() && pwd[0] == '/' && is_legal_kestrune_path(pwd);
}

std::string collapse_path(std::string_view text, bool trace) { return collapse(text, true, trace); }

std::optional<std::string> normalise_kestrune_path_from(std::string_view path,
                                                        std::string_view pwd) {
  spend_cpu(path_walk_cycles);
  if (!is_legal_kestrune_path(path)) return std::nullopt;
  std::string joined;
  if (path[0] == '/') {
    joined.assign(path);
  } else {
    if (!is_legal_working_directory(pwd)) return std::nullopt;
    joined.reserve(pwd.size() + 1 + path.size());
    joined.append(pwd).append("/").append(path);
  }
  if (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  if (joined == "/") return joined;
  std::string out = collapse(joined, false, false);
  // Dropping a segment can move text that followed a '#' in front of every
  // '#' ("/a#/../b c"); such a result would not normalise again.
  if (!is_legal_kestrune_path(out)) return std::nullopt;
  return out;
}

std::optional<std::string> normalise_kestrune_path(std::string_view path) {
  return normalise_kestrune_path_from(path, cproc ? std::string_view(cproc->pwd) : "/");
}

int get_path_parent_match_depth(std::string_view mount_point, std::string_view path) {
  if (mount_point == "/") return 0;
  if (mount_point.empty()) return !path.empty() && path[0] == '/' ? 0 : -1;
  if (path.substr(0, mount_point.size()) != mount_point) return -1;
  if (path.size() > mount_point.size() && path[mount_point.size()] != '/') return -1;
  int depth = 0;
  for (size_t i = 0; i < mount_point.size(); i++)
    if (mount_point[i] != '/' && (i == 0 || mount_point[i - 1] == '/')) depth++;
  return depth;
}

bool path_is_under(std::string_view path, std::string_view folder) {
  if (folder.empty() || folder == "/") return !path.empty() && path[0] == '/';
  if (folder.back() == '/') folder.remove_suffix(1);
  if (path.substr(0, folder.size()) != folder) return false;
  return path.size() == folder.size() || path[folder.size()] == '/';
}

std::string get_ext(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = last.rfind('.');
  if (dot == std::string_view::npos) return std::string();
  size_t before = dot > 0 ? last.rfind('.', dot - 1) : std::string_view::npos;
  if (before != std::string_view::npos) dot = before;
  std::string ext(last.substr(dot + 1));
  for (char &c : ext)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return ext;
}

int kvt_path_kind(std::string_view path) {
  std::string ext = get_ext(path);
  if (ext == "kvt") return kvt_kind_text;
  if (ext == "kvt.rom") return kvt_kind_rom;
  if (ext == "kvt.png") return kvt_kind_png;
  return 0;
}
