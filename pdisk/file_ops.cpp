// file_ops: the plain work behind the file functions of the script API.
#include "pdisk/file_ops.h"

#include <sys/stat.h>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "pdisk/cart_mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "platform/atomic_write.h"
#include "platform/host_paths.h"
#include "values/tuk.h"

namespace {

constexpr std::string_view raw_metadata_head = "--[[tuk_format=\"raw\"";
constexpr std::string_view no_metadata_mark = "metadata_format=\"none\"";
constexpr size_t path_segment_name_max = 255;

bool is_segment_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

} // namespace

bool is_raw_metadata(std::string_view metadata) { return metadata.starts_with(raw_metadata_head); }

bool says_no_metadata(std::string_view metadata) {
  return metadata.find(no_metadata_mark) != std::string_view::npos;
}

buffer_owner fetch_file_bytes(std::string_view path, const char *mode) {
  pfile *f = pfopen(path, mode);
  if (!f) return nullptr;
  buffer_owner bytes;
  if (f->kind == pfile_host) {
    bytes = std::move(f->data); // the slot goes with the close
  } else {
    spend_cpu(f->data->length / pfile_bytes_per_cycle);
    bytes.reset(create_buffer_from_buffer_2(f->data.get(), buffer_group_pfile));
  }
  pfclose(f);
  if (bytes) bytes->position = 0;
  return bytes;
}

bool store_file_bytes(std::string_view path, const char *mode, buffer_owner bytes) {
  spend_cpu(pfile_store_cycles);
  if (!bytes || !pfile_room_for(path, mode, int64_t(bytes->capacity) - 1)) return false;
  pfile *f = pfopen(path, mode);
  if (!f) return false;
  bool stored = pfset_data(f, std::move(bytes));
  return pfclose(f) && stored;
}

bool store_file_bytes(std::string_view path, const char *mode, std::string_view bytes) {
  spend_cpu(int64_t(bytes.size()) / pfile_bytes_per_cycle);
  buffer_owner b(create_buffer_2(int64_t(bytes.size()), buffer_group_pfile));
  if (!b || bwrite(bytes.data(), 1, int64_t(bytes.size()), b.get()) != int64_t(bytes.size()))
    return false;
  return store_file_bytes(path, mode, std::move(b));
}

std::string replace_metadata_header(std::string_view file, std::string_view header) {
  std::string out;
  if (!says_no_metadata(header)) out.assign(header);
  out.append(file.substr(find_metadata_length(file)));
  return out;
}

bool store_metadata_str_to_file(std::string_view path, std::string_view header) {
  pfile *f = pfopen(path, "r");
  if (!f) return store_file_bytes(path, "w", header);
  // The file is read through for its header's end and rebuilt: one pass.
  std::string_view file(reinterpret_cast<const char *>(f->data->data), size_t(f->data->length));
  spend_cpu(int64_t(file.size() + header.size()) / pfile_bytes_per_cycle);
  std::string rebuilt = replace_metadata_header(file, header);
  pfclose(f);
  return store_file_bytes(path, "w", rebuilt);
}

bool is_safe_path_segment(std::string_view name) {
  if (name.empty() || name.size() > path_segment_name_max || name == "." || name == "..") return false;
  for (char c : name)
    if (!is_segment_char(c)) return false;
  return true;
}

std::optional<std::string> cache_host_path(std::string_view folder, std::string_view name) {
  if (!is_safe_path_segment(folder) || !is_safe_path_segment(name)) return std::nullopt;
  std::string path = hovi_appdata_path("cache/");
  path.append(folder).append("/").append(name);
  return path;
}

bool cache_store(std::string_view folder, std::string_view name, std::string_view data) {
  std::optional<std::string> path = cache_host_path(folder, name);
  if (!path) return false;
  // The data folder's levels and the cache's two folders, made when missing.
  spend_cpu(2 * pfile_host_mkdir_cycles);
  std::string cache = hovi_prefix_with_appdata_path("cache");
  if (!hovi_mkdir(cache) || !hovi_mkdir(cache + "/" + std::string(folder))) return false;
  spend_cpu(int64_t(data.size()) / pfile_bytes_per_cycle);
  spend_cpu(pfile_write_cycles);
  return write_host_file_atomically(*path, data.data(), data.size());
}

std::optional<std::string> cache_fetch(std::string_view folder, std::string_view name,
                                       int64_t max_bytes) {
  std::optional<std::string> path = cache_host_path(folder, name);
  if (!path) return std::nullopt;
  spend_cpu(pfile_host_stat_cycles);
  struct stat st;
  if (stat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_size < cache_fetch_min || st.st_size > max_bytes) return std::nullopt;
  spend_cpu(pfile_host_open_cycles + int64_t(st.st_size) / pfile_bytes_per_cycle);
  buffer_owner b(create_buffer_from_file(path->c_str()));
  if (!b || b->length < cache_fetch_min) return std::nullopt;
  return std::string(reinterpret_cast<const char *>(b->data), size_t(b->length));
}

bool is_well_formed_bbs_path(std::string_view text) {
  for (size_t i = 6; i < text.size(); i++) {
    char c = text[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '/'))
      return false;
  }
  return true;
}

std::optional<pdisk_stat> pdisk_fstat(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return std::nullopt;
  // A cartridge reports the size of its file as it stands after every change.
  if (kvt_cart_form(*norm) != 0) flush_dirty_mounts_immediately();
  pdisk_stat st;
  if (pdisk_directory_exists(*norm, true)) {
    st.folder = true;
    st.size = pfile_size(*norm, true);
  } else if (pdisk_file_exists(*norm)) {
    st.size = pfile_size(*norm, false);
  } else {
    return std::nullopt;
  }
  st.description = get_mount_description(*norm);
  return st;
}

std::optional<std::string> change_directory(process *P, std::string_view path, bool raw) {
  if (!P) return std::nullopt;
  if (raw) {
    if (path.size() <= pwd_max) P->pwd.assign(path);
    return std::nullopt;
  }
  std::optional<std::string> norm = normalise_kestrune_path_from(path, P->pwd);
  if (!norm) return std::nullopt;
  if (norm->size() < pwd_max && pdisk_directory_exists(*norm, true)) {
    P->pwd = std::move(*norm);
    return std::nullopt;
  }
  return std::string("path not found");
}
