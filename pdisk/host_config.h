// host_config: the host configuration file, whose mount lines say which host
// folders appear where in the virtual file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

constexpr std::string_view host_config_name = "kestrune_config.txt";
constexpr size_t host_mount_point_max = 255;

struct host_mount_line {
  std::string mount_point;
  std::string host_folder;
};

// "mount " + mount point (to the first character below '!') + spaces + host
// folder (the rest of the line, spaces and all). Nothing for any other line.
std::optional<host_mount_line> parse_host_mount_line(std::string_view line);

// Makes the data folder's "drive" folder, writes the default file when there
// is none (ending the program when it cannot be written), then mounts every
// mount line whose parts are both present. Returns 0.
int process_config();
