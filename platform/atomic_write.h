// atomic_write: the one way the system writes a host file.
#pragma once

#include <cstddef>
#include <string>

// Writes the bytes to a temporary file beside path and renames it over path
// once every write and the sync have succeeded; a symbolic link is written
// through, not replaced. On any failure the old file stays as it was, the
// temporary file is removed, the reason goes to *error (when given) and the
// result is false. The temporary file of a target has one name, hidden and
// ending ".kestrune-partial": one left by a kill or a power cut is taken over
// and renamed away by the next write of the target, and two writes of one
// target at once (threads or runs) take turns.
bool write_host_file_atomically(const std::string &path, const void *data, size_t n,
                                std::string *error = nullptr);
