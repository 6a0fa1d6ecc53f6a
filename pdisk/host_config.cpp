// host_config: the host configuration file's mount lines.
#include "pdisk/host_config.h"

#include <sys/stat.h>

#include "kernel/buffer.h"
#include "kernel/system.h"
#include "pdisk/pfile.h"
#include "platform/atomic_write.h"
#include "platform/host_log.h"
#include "platform/host_paths.h"

std::optional<host_mount_line> parse_host_mount_line(std::string_view line) {
  constexpr std::string_view head = "mount ";
  if (!line.starts_with(head)) return std::nullopt;
  line.remove_prefix(head.size());
  size_t end = 0;
  while (end < line.size() && static_cast<unsigned char>(line[end]) >= '!') end++;
  host_mount_line m{std::string(line.substr(0, end)), std::string()};
  line.remove_prefix(end);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  m.host_folder.assign(line);
  return m;
}

int process_config() {
  std::string path = hovi_prefix_with_appdata_path(host_config_name);
  std::string drive = hovi_prefix_with_appdata_path("drive");
  hovi_mkdir(drive);

  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    hovi_debugf("writing default config to %s\n", path.c_str());
    std::string text = "# kestrune config\n\nmount / " + drive + "\n";
    if (!write_host_file_atomically(path, text.data(), text.size()))
      kestrune_fatal(("ERROR: could not write to " + path).c_str(), 1);
  }

  buffer_owner file(create_buffer_from_file(path.c_str()));
  if (!file) return 0;
  file->position = 0;
  buffer_owner line(create_buffer_2(256, 111));
  while (file->position < file->length) {
    int32_t from = file->position;
    breadln(file.get(), line.get());
    if (file->position == from) break; // out of memory
    std::string_view text(to_cstr(line.get()), size_t(line->length));
    std::optional<host_mount_line> m = parse_host_mount_line(text);
    if (!m) continue;
    hovi_debugf("mount: [%s] [%s]\n", m->mount_point.c_str(), m->host_folder.c_str());
    // An empty mount point matches every path, like the root mount ("mount
    // /x /y" with two blanks mounts the folder "/x /y" so); an empty host
    // folder would stand for the host's own root, so such a line mounts nothing.
    if (m->host_folder.empty() || m->mount_point.size() > host_mount_point_max) {
      hovi_debugf("mount: ignored\n");
      continue;
    }
    mount_host_path(m->mount_point, m->host_folder);
  }
  return 0;
}
