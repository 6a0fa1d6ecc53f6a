// Host folders: the program's folder, the data folder and the desktop.
#pragma once

#include <string>
#include <string_view>

// The program's first argument, from which the program folder is found.
extern std::string hovi_argv0;

std::string hovi_prefix_with_program_path(std::string_view name);
// The data folder's path + name; every level of the data folder is made.
std::string hovi_prefix_with_appdata_path(std::string_view name);
// The same path with no folder made, for what only reads (a missing level
// means a missing file).
std::string hovi_appdata_path(std::string_view name);
std::string hovi_prefix_with_desktop_path(std::string_view name);
// Appends "exp/" and the data pack's sub-folder to path, making both folders.
void append_export_home(std::string &path);
// Host mkdir with mode 0755; true when the folder exists afterwards.
bool hovi_mkdir(const std::string &path);
