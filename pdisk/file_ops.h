// file_ops: the plain work behind the file functions of the script API
// (storing whole files, metadata headers, the cache folder, fstat, cd).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kernel/buffer.h"

struct process;

// A metadata header that asks for the value to be stored as it is:
// its first 20 characters are --[[tuk_format="raw".
bool is_raw_metadata(std::string_view metadata);
// A header holding metadata_format="none": the file gets no header at all.
bool says_no_metadata(std::string_view metadata);

// The whole file at path, opened with mode and closed again before the bytes
// are handed over; null when it cannot be opened.
buffer_owner fetch_file_bytes(std::string_view path, const char *mode);

// Replaces the file at path by the bytes (mode "w", or "wf" to reach a
// cartridge file rather than the cartridge mounted on it). The contents are
// complete before the file is opened, so a refusal leaves it as it was.
// False when it could not be opened or written.
bool store_file_bytes(std::string_view path, const char *mode, buffer_owner bytes);
bool store_file_bytes(std::string_view path, const char *mode, std::string_view bytes);

// A file's bytes with its metadata header ("--[[tuk" up to "]]" and one line
// end) replaced by header; the header is left out when it says
// metadata_format="none".
std::string replace_metadata_header(std::string_view file, std::string_view header);
// Replaces the metadata header of the file at path; a file that cannot be
// read is created holding the header. False when nothing could be written.
bool store_metadata_str_to_file(std::string_view path, std::string_view header);

// The cache folder's names are single plain segments: 1..255 letters, digits,
// '-', '_' or '.', and not "." or "..".
bool is_safe_path_segment(std::string_view name);
constexpr int64_t cache_fetch_min = 512;
// "cache/<folder>/<name>" in the data folder; nothing for an unsafe name.
std::optional<std::string> cache_host_path(std::string_view folder, std::string_view name);
// Writes a cache file (folders made). False for unsafe names or a failed write.
bool cache_store(std::string_view folder, std::string_view name, std::string_view data);
// A cache file of cache_fetch_min .. max_bytes bytes; nothing otherwise.
std::optional<std::string> cache_fetch(std::string_view folder, std::string_view name,
                                       int64_t max_bytes);

// Texts from the seventh character on of lower-case letters, digits, '_',
// '.' and '/' only.
bool is_well_formed_bbs_path(std::string_view text);

struct pdisk_stat {
  bool folder = false;
  int64_t size = 0;
  std::optional<std::string> description; // get_mount_description
};
// What fstat reports: a folder (a mounted cartridge counts, with its file's
// size) or a file; nothing for an illegal path or one that is neither.
std::optional<pdisk_stat> pdisk_fstat(std::string_view path);

// cd: raw stores the text as it stands (refused past 256 characters);
// otherwise the normalised path when it is a folder. The message for the
// script, or nothing (done, or an illegal path).
std::optional<std::string> change_directory(process *P, std::string_view path, bool raw);
