// text_form: the text cartridge form (".kvt" files), as plain lists of entries.
#include "pdisk/text_form.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "kernel/buffer.h"
#include "pdisk/path.h"
#include "platform/host_log.h"
#include "values/base64.h"

namespace {

constexpr char hex_lower[] = "0123456789abcdef";

// Lines of untrusted text: split at '\n', one CR before it dropped, so CRLF
// files read like LF ones. Text after the last '\n' is a line of its own.
struct line_cursor {
  std::string_view text;
  size_t at = 0;

  bool next(std::string_view *line) {
    if (at >= text.size()) return false;
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    *line = text.substr(at, end - at);
    at = end + 1;
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    return true;
  }
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Pairs of hex digits up to the first pair that is not one (so the closing
// brackets of a legacy body, or a lone last digit, end it).
void append_hex_pairs(std::string_view text, std::string *out) {
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
    if (hi < 0 || lo < 0) return;
    out->push_back(char(hi << 4 | lo));
  }
}

void append_base64(std::string_view text, base64_decodestate *state, std::string *out) {
  size_t had = out->size();
  out->resize(had + size_t(base64_decode_block_bound(int64_t(text.size()))));
  int64_t n = base64_decode_block(text.data(), int64_t(text.size()),
                                  reinterpret_cast<uint8_t *>(out->data() + had), state);
  out->resize(had + size_t(n));
}

// sscanf's "%d" after optional blanks: digits with a sign, clamped to int.
bool parse_int(std::string_view s, size_t *at, int *value) {
  size_t i = *at;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) i++;
  bool negative = i < s.size() && s[i] == '-';
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) i++;
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
    v = std::min<int64_t>(v * 10 + (s[i] - '0'), int64_t(INT_MAX) + 1);
  v = negative ? -v : std::min<int64_t>(v, INT_MAX);
  *value = int(v);
  *at = i;
  return true;
}

bool is_folder_name(std::string_view name) { return !name.empty() && name.back() == '/'; }

// A name runs to the first blank or control byte.
std::string_view name_token(std::string_view text) {
  size_t end = 0;
  while (end < text.size() && static_cast<unsigned char>(text[end]) >= '!') end++;
  return text.substr(0, end);
}

// The name of a ":: " line.
std::string_view entry_name(std::string_view line) {
  return name_token(line.size() > 3 ? line.substr(3) : std::string_view());
}

// Why the reader would not give an entry's name back as it is, or null: it
// reads a name up to its first blank or control byte, skips names holding
// "..", and takes "[eoc]" for the end.
const char *name_fault(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name_token(name) != name) return "a name holding a blank or a control byte";
  if (name.find("..") != std::string_view::npos) return "a name holding \"..\"";
  if (name == "[eoc]") return "the name [eoc]";
  return nullptr;
}

kvt_text_kind read_version_2(line_cursor &in, const char *where,
                             std::vector<cart_entry> *entries) {
  enum { idle, plain, hex, b64 } state = idle; // idle: no file open
  base64_decodestate b64_state;
  std::string *body = nullptr; // the open file's data: nothing is appended while it is open
  auto close_entry = [&] {
    // The writer ends a plain body with a line end of its own.
    if (state == plain && !body->empty() && body->back() == '\n') body->pop_back();
    state = idle;
    body = nullptr;
  };

  std::string_view line;
  while (in.next(&line)) {
    if (line.starts_with(":: ")) {
      close_entry();
      std::string_view name = entry_name(line);
      if (name == "[eoc]") return kvt_text_kind::cart;
      // ".." could climb out of the cartridge's folder; an empty name names
      // nothing a file could be made at.
      if (name.empty() || name.find("..") != std::string_view::npos) continue;
      entries->push_back({std::string(name), std::string()});
      if (is_folder_name(name)) continue;
      body = &entries->back().data;
      state = plain;
      continue;
    }
    switch (state) {
    case idle:
      break;
    case plain:
      if (line.starts_with("hex$")) {
        state = hex;
        append_hex_pairs(line.substr(4), body);
      } else if (line.starts_with("b64$")) {
        state = b64;
        base64_init_decodestate(&b64_state);
        if (int64_t(line.size()) < kvt_b64_line_max) append_base64(line.substr(4), &b64_state, body);
      } else {
        body->append(line);
        body->push_back('\n');
      }
      break;
    case hex:
      append_hex_pairs(line, body);
      break;
    case b64:
      if (int64_t(line.size()) < kvt_b64_line_max) append_base64(line, &b64_state, body);
      break;
    }
  }
  // Cut off: the open file keeps what was read, its last line end included.
  std::printf("** warning: no [eoc] found while mounting %s\n", where);
  return kvt_text_kind::cart_cut;
}

// Lines "name a:b [[hex]]" until a line shorter than 2 characters; bit 0 of b
// marks a folder, and so does a name ending in '/' (no file could have it).
kvt_text_kind read_version_1(line_cursor &in, const char *where,
                             std::vector<cart_entry> *entries) {
  std::string_view line;
  while (in.next(&line) && line.size() >= 2) {
    if (line.starts_with("##")) continue;
    size_t space = line.find(' ');
    std::string_view name = line.substr(0, space);
    std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    int first = 0, attribs = 0;
    size_t at = 0;
    if (parse_int(rest, &at, &first) && at < rest.size() && rest[at] == ':') {
      at++;
      if (!parse_int(rest, &at, &attribs)) attribs = 0;
    }
    // Without ".." no name climbs; an absolute one would be taken for a
    // path of its own by whoever joins it.
    if (name.empty() || name[0] == '/' || name.find("..") != std::string_view::npos) {
      std::printf("** bad file name while mounting legacy kvt %s: %.*s\n", where,
                  int(std::min<size_t>(name.size(), 400)), name.data());
      continue;
    }
    if ((attribs & 1) || is_folder_name(name)) {
      std::string folder(name);
      if (!is_folder_name(folder)) folder += '/';
      entries->push_back({std::move(folder), std::string()});
      continue;
    }
    size_t open = rest.find('[');
    if (open == std::string_view::npos) {
      std::string new_path = std::string(where) + "/" + std::string(name);
      std::string c_p1(rest);
      std::printf("******** could not read legacy kvt; file contents missing. missing null terminator issue?\n");
      std::printf("attribs: %d new_path: %s c_p1: %s\n\n", attribs, new_path.c_str(), c_p1.c_str());
      continue;
    }
    size_t from = open + 3, to = rest.rfind(']');
    std::string data;
    if (to != std::string_view::npos && to > from) append_hex_pairs(rest.substr(from, to - from), &data);
    entries->push_back({std::string(name), std::move(data)});
  }
  return kvt_text_kind::legacy;
}

void put_base64_body(std::string_view data, std::string *out) {
  *out += "b64$";
  size_t at = 0;
  size_t chunk = kvt_b64_first_bytes;
  do {
    size_t n = std::min(chunk, data.size() - at);
    size_t had = out->size();
    out->resize(had + size_t(base64_encode_block_bound(int64_t(n))) + 4);
    base64_encodestate state;
    base64_init_encodestate(&state);
    char *o = out->data() + had;
    int64_t len = base64_encode_block(reinterpret_cast<const uint8_t *>(data.data() + at),
                                      int64_t(n), o, &state);
    len += base64_encode_blockend(o + len, &state);
    out->resize(had + size_t(len));
    out->push_back('\n');
    at += n;
    chunk = kvt_b64_line_bytes;
  } while (at < data.size());
}

void put_hex_body(std::string_view data, std::string *out) {
  *out += "hex$";
  size_t at = 0;
  size_t chunk = kvt_hex_first_bytes;
  do {
    size_t n = std::min(chunk, data.size() - at);
    for (size_t i = at; i < at + n; i++) {
      auto b = static_cast<uint8_t>(data[i]);
      out->push_back(hex_lower[b >> 4]);
      out->push_back(hex_lower[b & 15]);
    }
    out->push_back('\n');
    at += n;
    chunk = kvt_hex_line_bytes;
  } while (at < data.size());
}

} // namespace

bool is_writeable_as_ascii(std::string_view name, std::string_view data) {
  std::string ext = get_ext(name);
  if (ext != "txt" && ext != "lua") return false;
  for (size_t i = 0; i < data.size(); i++) {
    auto c = static_cast<unsigned char>(data[i]);
    if (c == 0 || c > 127) return false;
    if (i == 0 || data[i - 1] == '\n') {
      std::string_view from = data.substr(i);
      if (from.starts_with("hex$") || from.starts_with("b64$") || from.starts_with(":: "))
        return false;
    }
    if (c == '\r' && (i + 1 == data.size() || data[i + 1] == '\n')) return false;
  }
  return true;
}

std::string encode_kvt_text(const std::vector<cart_entry> &entries, bool hex) {
  size_t room = kvt_text_header.size() + 32;
  for (const cart_entry &e : entries) room += e.name.size() + 8 + e.data.size() / 57 * 78 + 80;
  std::string out;
  out.reserve(room);
  out += kvt_text_header;
  out += "\nversion " + std::to_string(kvt_text_version) + "\n\n";
  for (const cart_entry &e : entries) {
    out += ":: ";
    out += e.name;
    out += '\n';
    if (is_folder_name(e.name)) continue;
    if (is_writeable_as_ascii(e.name, e.data)) {
      out += e.data;
      out += '\n';
    } else if (hex) {
      put_hex_body(e.data, &out);
    } else {
      put_base64_body(e.data, &out);
    }
  }
  out += ":: [eoc]\n";
  return out;
}

bool write_kvt_text_entries(buffer *out, const std::vector<cart_entry> &entries, bool hex) {
  if (!out) return false;
  for (const cart_entry &e : entries) {
    if (const char *why = name_fault(e.name)) {
      std::string shown = e.name.substr(0, 64);
      for (char &c : shown)
        if (static_cast<unsigned char>(c) < ' ') c = '?';
      std::printf("** cartridge not written (text form): %s: %s\n", why, shown.c_str());
      hovi_debugf("** cartridge not written (text form): %s: %s\n", why, shown.c_str());
      return false;
    }
  }
  std::string text = encode_kvt_text(entries, hex);
  int64_t end = int64_t(out->position) + int64_t(text.size());
  if (out->position < 0 || end > buffer_max_length || !ballocate(out, end)) return false;
  if (bwrite(text.data(), 1, int64_t(text.size()), out) != int64_t(text.size())) return false;
  out->length = out->position;
  return true;
}

kvt_text_kind decode_kvt_text(const uint8_t *data, int64_t size, const char *where,
                              std::vector<cart_entry> *entries) {
  if (!where) where = "";
  if (!data || size <= 0) return kvt_text_kind::unknown;
  line_cursor in{std::string_view(reinterpret_cast<const char *>(data), size_t(size))};
  std::string_view header, version_line;
  if (!in.next(&header) || !in.next(&version_line)) return kvt_text_kind::unknown;
  size_t at = 7;
  int version = 0;
  if (!version_line.starts_with("version") || !parse_int(version_line, &at, &version))
    return kvt_text_kind::unknown;
  if (version == 1) return read_version_1(in, where, entries);
  if (version == 2) return read_version_2(in, where, entries);
  return kvt_text_kind::unknown;
}

kvt_text_kind read_kvt_text_entries(buffer *in, const char *where,
                                    std::vector<cart_entry> *entries) {
  if (!in) return kvt_text_kind::unknown;
  int64_t from = std::clamp<int64_t>(in->position, 0, in->length);
  kvt_text_kind kind = decode_kvt_text(in->data + from, in->length - from, where, entries);
  in->position = in->length;
  return kind;
}
