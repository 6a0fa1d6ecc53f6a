// Message queues and the kernel's event messages.
#include "kernel/messages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kernel/process.h"
#include "platform/host_log.h"

static constexpr int buffer_group_messages = 114;
// Where every event message goes: the display process.
static constexpr int64_t event_process_id = 3;

// Below this many bytes read, the head just moves on; past it, and once the
// read part is at least as large as the unread part, the rest moves to the
// front. Each byte moves a bounded number of times.
static constexpr int32_t queue_compact_min = 0x4000;

bool process_takes_messages(const process *P) {
  return P && P->message_queue && P->lua_state && P->state == process_running &&
         !P->kill_pending;
}

// Appends n bytes and keeps the head; all or nothing.
static void append_to_queue(process *P, const char *text, int64_t n) {
  buffer *q = P->message_queue.get();
  if (int64_t{q->length} - q->position + n + 1 > message_queue_max) {
    if (!P->queue_overflow_logged) {
      P->queue_overflow_logged = true;
      hovi_debugf("message queue of process %" PRId64 " is full: messages to it are dropped\n",
                  P->id);
    }
    return;
  }
  int32_t head = q->position;
  int32_t before = q->length;
  if (bappend_bytes(q, text, n) != n || bappend_bytes(q, "", 1) != 1) {
    // Text and NUL go in together: a queue never holds half a message.
    q->length = before;
    q->data[before] = 0;
  }
  q->position = head;
}

void send_process_message(process *P, const buffer *msg) {
  if (!process_takes_messages(P) || !msg) return;
  const char *text = reinterpret_cast<const char *>(msg->data);
  auto n = static_cast<int64_t>(strnlen(text, static_cast<size_t>(msg->length)));
  append_to_queue(P, text, n);
}

void send_process_message_string(process *P, const char *text) {
  if (!process_takes_messages(P) || !text) return;
  append_to_queue(P, text, static_cast<int64_t>(strlen(text)));
}

bool send_message_to_id(int64_t id, const buffer *msg) {
  process *P = id != 0 ? get_process(id) : nullptr;
  if (!process_takes_messages(P)) return false;
  send_process_message(P, msg);
  return true;
}

bool process_queue_empty(const process *P) {
  if (!P || !P->message_queue) return true;
  const buffer *q = P->message_queue.get();
  return q->position < 0 || q->position >= q->length;
}

int64_t count_process_messages(const process *P) {
  if (!P || !P->message_queue) return 0;
  const buffer *q = P->message_queue.get();
  int64_t n = 0;
  for (int32_t i = q->position; i < q->length; i++) n += q->data[i] == 0;
  return n;
}

buffer *read_process_message(process *P, buffer *into) {
  static buffer *rpm_buffer;  // kept for the whole run
  if (!P || !P->message_queue) return nullptr;
  if (process_queue_empty(P)) return nullptr;
  buffer *q = P->message_queue.get();
  if (!into) {
    if (!rpm_buffer && !(rpm_buffer = create_buffer_2(4096, buffer_group_messages))) return nullptr;
    into = rpm_buffer;
  }
  const char *first = reinterpret_cast<const char *>(q->data + q->position);
  int64_t left = q->length - q->position;
  int64_t n = static_cast<int64_t>(strnlen(first, static_cast<size_t>(left)));
  n = std::min(n + 1, left);
  bclear(into);
  if (bappend_bytes(into, first, n) != n) return nullptr;
  q->position += static_cast<int32_t>(n);
  if (q->position >= q->length) {
    bclear(q);  // empty: start again at the front
    to_cstr(q);
  } else if (q->position >= queue_compact_min && q->position >= q->length - q->position) {
    // Only the bytes in use move and are cleared, whatever the capacity.
    int32_t kept = q->length - q->position;
    memmove(q->data, q->data + q->position, static_cast<size_t>(kept));
    memset(q->data + kept, 0, static_cast<size_t>(q->length - kept));
    q->length = kept;
    q->position = 0;
  }
  return into;
}

// One event message: the opening, the escaped text, the closing; to process 3.
static void send_event(const char *opening, const char *text, const char *closing) {
  process *target = get_process(event_process_id);
  if (!target) return;
  buffer_owner msg(create_buffer_2(1024, buffer_group_messages));
  if (!msg) return;
  bappend_str(msg.get(), opening);
  bappend_str_escaped(msg.get(), text);
  bappend_str(msg.get(), closing);
  send_process_message(target, msg.get());
}

void send_event_message(const char *text) {
  send_process_message_string(get_process(event_process_id), text);
}

int report_error(const char *text) {
  if (!text) text = "unknown error";
  char closing[128];
  snprintf(closing, sizeof closing, "\",_from=%" PRId64 ",_sent_t=%" PRId64 ",_flags=%d}",
           current_process_id(), host_ms_since_start(), cproc ? cproc->system_flag : 0);
  send_event("{event=\"report_error\",content=\"", text, closing);
  hovi_debugf("SYSTEM ERROR: %s\n", text);
  return 0;
}

void notify(const char *text) {
  send_event("{event=\"user_notification\",content=\"", text ? text : "", "\"}");
}

// The last step of process_dropped_file (kernel/dropped_file.h).
void send_drop_items_event(const char *virtual_path) {
  send_event("{event=\"drop_items\",items={{tuk_type=\"file_reference\",fullpath=\"",
             virtual_path ? virtual_path : "", "\"}}}");
}
