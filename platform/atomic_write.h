// atomic_write: the one way the system writes a host file.
#pragma once

#include <cstddef>
#include <string>

// Writes the bytes to a temporary file beside path and renames it over path
// once every write, the flush and the sync have succeeded; a symbolic link is
// written through, not replaced. On any failure the old file stays as it was,
// the temporary file is removed, the reason goes to *error (when given) and the
// result is false.
bool write_host_file_atomically(const std::string &path, const void *data, size_t n,
                                std::string *error = nullptr);
