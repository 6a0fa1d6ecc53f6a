// Files dropped on the host window: copied under "/ram/drop/" and announced
// to the display process.
#pragma once

#include <string>
#include <string_view>

// The virtual path of a dropped host file's copy: "/ram/drop/" and the host
// file's name, every byte that is not a letter, a digit or one of "-._" made
// '_', cut to one path segment, and never a name the path rules would read as
// the folder itself or its parent.
std::string drop_path_for(std::string_view host_path);

// Copies the host file whole to its drop path and announces it with a
// drop_items event. An empty file or a folder gets a notice instead; a file
// that could not be copied whole is not announced.
void process_dropped_file(const char *host_path);
