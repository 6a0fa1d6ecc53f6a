// Files dropped on the host window.
#include "kernel/dropped_file.h"

#include <algorithm>

#include "kernel/buffer.h"
#include "kernel/messages.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

namespace {

constexpr std::string_view drop_folder = "/ram/drop";
constexpr const char *drop_unsupported =
    "** dropping folders (and size zero files) currently not supported **";

bool kept_in_name(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '.' || c == '_';
}

}  // namespace

std::string drop_path_for(std::string_view host_path) {
  size_t cut = host_path.find_last_of("/\\");
  std::string name(cut == std::string_view::npos ? host_path : host_path.substr(cut + 1));
  // A longer segment would be dropped from the path, leaving the folder itself.
  if (name.size() > path_segment_max) name.resize(path_segment_max);
  for (char &c : name)
    if (!kept_in_name(c)) c = '_';
  // "", "." and ".." would name the folder or its parent.
  if (name.find_first_not_of('.') == std::string::npos && name.size() <= 2)
    name.assign(std::max<size_t>(name.size(), 1), '_');
  return std::string(drop_folder) + "/" + name;
}

void process_dropped_file(const char *host_path) {
  if (!host_path) return;
  std::string path = drop_path_for(host_path);
  pmkdir(drop_folder);
  pfile *f = pfopen(path, "wf");
  if (!f) return;
  buffer_owner data(create_buffer_from_file(host_path));
  if (!data || data->length == 0) {
    // A folder reads as nothing; so does an empty file. The copy stays empty.
    bool folder = host_directory_exists(host_path);
    pfclose(f);
    if (folder || data) notify(drop_unsupported);
    return;
  }
  bool stored = pfset_data(f, std::move(data));
  if (!pfclose(f) || !stored) return;
  send_drop_items_event(path.c_str());
}
