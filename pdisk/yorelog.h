// yorelog: the file history. While it is on, every host file written, host
// file or folder deleted and host folder made is recorded in a log a day, and
// every written version is kept, whole (a blob named by its hash) or as a
// small delta against the path's last blob; any version comes back by date.
#pragma once

#include <ctime>
#include <string_view>

#include "kernel/buffer.h"
#include "pdisk/pfile.h"

// yorelog_event types
constexpr int yorelog_file_written = 0; // origin: the host file
constexpr int yorelog_deleted = 1;
constexpr int yorelog_folder_made = 2;
constexpr int yorelog_note = 3;     // path: the note (empty: a bare time mark)
constexpr int yorelog_open_day = 4; // only make sure today's log exists

// Files of this size or more are never recorded.
constexpr int64_t yorelog_blob_max = 16 * 1024 * 1024;
// The snapshot does not descend further than this.
constexpr int yorelog_depth_max = 1024;
// A delta is kept when it is at most this long and at most the small size or
// a sixteenth of the new version.
constexpr int64_t yorelog_delta_max = 8192;
constexpr int64_t yorelog_delta_small = 512;
constexpr int yorelog_delta_line_bytes = 38;
// The day's snapshot walks at most this much a step: names listed or
// visited, files recorded and their bytes (one file at least); the step
// after a frame stops after this much host time as well.
constexpr int64_t yorelog_step_entries = 1024;
constexpr int64_t yorelog_step_files = 4;
constexpr int64_t yorelog_step_bytes = 4 * 1024 * 1024;
constexpr int64_t yorelog_step_us = 2000;
// What a fetch charges for each probe of the host on its way back to a log:
// a stat.
constexpr int64_t yorelog_probe_cycles = pfile_host_stat_cycles;

// The clock the history dates by (UTC seconds); time() unless replaced.
extern time_t (*yorelog_clock)();

// Records one change. Nothing while the history setting is off. Call it with
// yorelog_open_day and the path and host file before changing or deleting a
// host file, so that the day's snapshot holds the version from before the
// change (recorded then, charged to the caller, when the snapshot has not
// come to it yet; this one also with the history switched off since).
void yorelog_event(int type, std::string_view path, std::string_view origin);
// After each frame: the day's snapshot, when one step did not take it whole,
// walks on by one step (uncharged; also after the history is switched off).
void yorelog_step();
// Whether a snapshot is still being walked.
bool yorelog_snapshot_pending();
// At every boot: the next event loads today's log afresh (and goes on with a
// snapshot that stopped part way); notes the session.
void yorelog_open();
// At exit: forgets the path table. A snapshot being walked stops where it is;
// its log tells the next load to go on.
void yorelog_close();

// The version of a path at a date, "path@YYYY-MM-DD HH:MM:SS" (UTC); a file
// the day's snapshot has not come to yet is recorded first, charged. Null
// when the text or date is malformed, no log holds the path by then, or the
// version cannot be rebuilt intact (a blob whose bytes do not match its hash,
// a delta that does not apply or whose result fails its CRC).
buffer_owner yorelog_fetch(std::string_view text);
