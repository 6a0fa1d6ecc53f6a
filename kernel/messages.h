// Message queues and the kernel's event messages.
#pragma once

#include "kernel/buffer.h"

struct process;

// Appends the text (up to its first NUL) and one NUL to the process's queue.
// A null process, or one without a queue, gets nothing.
void send_process_message(process *P, const buffer *msg);
void send_process_message_string(process *P, const char *text);

// Removes the oldest message and writes it with its NUL into `into` (cleared
// first), or into the shared read buffer when `into` is null; that one stays
// valid until the next read. Null when the queue is empty.
buffer *read_process_message(process *P, buffer *into);

// Event messages, appended to the queue of the first process with id 3 and
// dropped when there is none. report_error also logs and always returns 0.
int report_error(const char *text);
void notify(const char *text);
// The announcement of a dropped host file, once it has been copied to its
// virtual path under "/ram/drop/".
void send_drop_items_event(const char *virtual_path);
