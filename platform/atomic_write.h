// atomic_write: the one way the system writes a host file.
#pragma once

#include <cstddef>
#include <cstdint>
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

// A host file written in pieces over many calls that replaces path only once
// it is whole. Its temporary file is its own, hidden beside path and ending
// ".kestrune-stream" (one left by a kill is taken over by the next stream of
// the target); each piece starts on its way to the disk as it is written, so
// the sync at the finish has little left. write_host_file_atomically is one
// piece written through the target's shared temporary file.
struct host_file_stream {
  std::string target, folder, temp;  // the file replaced, its folder, the temporary file
  unsigned mode = 0644;              // the replaced file's, kept
  int fd = -1;                       // the temporary file, open while written
  int64_t written = 0;
  std::string why;  // the first failure: later writes do nothing, the finish fails
  host_file_stream() = default;
  host_file_stream(const host_file_stream &) = delete;
  host_file_stream &operator=(const host_file_stream &) = delete;
  ~host_file_stream();  // abandons what is not finished
};
// Makes the temporary file (the refusals of write_host_file_atomically, and
// a stream of the same target in another run).
bool host_stream_open(host_file_stream &s, const std::string &path, std::string *error = nullptr);
// False once any write has failed.
bool host_stream_write(host_file_stream &s, const void *data, size_t n);
// Syncs the file and renames it over path; on any failure (a write's
// included) the temporary file is removed and path left as it was.
bool host_stream_finish(host_file_stream &s, std::string *error = nullptr);
// Removes the temporary file; path stays as it was.
void host_stream_abandon(host_file_stream &s);
