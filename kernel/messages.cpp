// Message queues and the kernel's event messages.
#include "kernel/messages.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kernel/process.h"
#include "platform/host_log.h"

static constexpr int buffer_group_messages = 114;
// Where every event message goes: the display process.
static constexpr int64_t event_process_id = 3;

void send_process_message(process *P, const buffer *msg) {
  if (!P || !P->message_queue || !msg) return;
  const char *text = reinterpret_cast<const char *>(msg->data);
  auto n = static_cast<int64_t>(strnlen(text, static_cast<size_t>(msg->length)));
  buffer *q = P->message_queue.get();
  // Text and NUL go in together: a queue never holds half a message.
  int32_t before = q->length;
  if (bappend_bytes(q, text, n) != n || bappend_bytes(q, "", 1) != 1) {
    q->length = q->position = before;
    q->data[before] = 0;
  }
}

void send_process_message_string(process *P, const char *text) {
  if (!P || !P->message_queue || !text) return;
  auto n = static_cast<int64_t>(strlen(text));
  bappend_bytes(P->message_queue.get(), text, n + 1);  // its own NUL ends the message
}

buffer *read_process_message(process *P, buffer *into) {
  static buffer *rpm_buffer;  // kept for the whole run
  if (!P || !P->message_queue || P->message_queue->length <= 0) return nullptr;
  if (!into) {
    if (!rpm_buffer && !(rpm_buffer = create_buffer_2(4096, buffer_group_messages))) return nullptr;
    into = rpm_buffer;
  }
  buffer *q = P->message_queue.get();
  const char *first = reinterpret_cast<const char *>(q->data);
  int64_t n = static_cast<int64_t>(strnlen(first, static_cast<size_t>(q->length))) + 1;
  bclear(into);
  if (bappend_bytes(into, first, n) != n) return nullptr;
  bcrop(q, n, q->length - n);
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

// process_dropped_file (the copy of a dropped host file under "/ram/drop/") comes
// with the file system and ends here.
void send_drop_items_event(const char *virtual_path) {
  send_event("{event=\"drop_items\",items={{tuk_type=\"file_reference\",fullpath=\"",
             virtual_path ? virtual_path : "", "\"}}}");
}
