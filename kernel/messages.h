// Message queues and the kernel's event messages.
#pragma once

#include <cstdint>

#include "kernel/buffer.h"

struct process;

// A queue buffer holds NUL-terminated texts, oldest first; its `position` is
// the head: the unread messages are data[position, length). Reads move the
// head and compact the buffer only now and then, so a queue drains in time
// linear in its size.

// Unread bytes a queue holds at most: a message that would pass it is dropped
// (the first drop to each process is logged), so a flood cannot take host
// memory. A message is never longer than this.
constexpr int64_t message_queue_max = 0x400000;

// Appends the text (up to its first NUL) and one NUL to the process's queue.
// A null process, one without a queue, and one that will never run again
// (finished, failed, without a state, or about to be removed) get nothing;
// nor does a full queue.
void send_process_message(process *P, const buffer *msg);
void send_process_message_string(process *P, const char *text);

// Looks the process up by id at the moment of sending and appends the
// message (as send_process_message). False when no such process takes it.
bool send_message_to_id(int64_t id, const buffer *msg);

// Whether messages sent to the process can still be read by it.
bool process_takes_messages(const process *P);

// Whether the queue holds no unread message (true for a null process).
bool process_queue_empty(const process *P);

// Unread messages in the queue (0 for a null process).
int64_t count_process_messages(const process *P);

// Removes the oldest message and writes it with its NUL into `into` (cleared
// first), or into the shared read buffer when `into` is null; that one stays
// valid until the next read. Null when the queue is empty.
buffer *read_process_message(process *P, buffer *into);

// Event messages, appended to the queue of the first process with id 3 and
// dropped when there is none. report_error also logs and always returns 0.
int report_error(const char *text);
void notify(const char *text);
// A ready event message text, to the display process.
void send_event_message(const char *text);
// The announcement of a dropped host file, once it has been copied to its
// virtual path under "/ram/drop/".
void send_drop_items_event(const char *virtual_path);
