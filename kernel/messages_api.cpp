// Script API of messages between processes: argument readers around the
// kernel's queues (kernel/messages) and the tuk text form (values/tuk).
#include "kernel/messages_api.h"

#include <algorithm>
#include <cmath>

#include "kernel/accounting.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "platform/host_log.h"
#include "values/tuk.h"

namespace {

constexpr int buffer_group_send = 112;

// The target id of argument 1: an integer, or a float truncated toward zero.
// A non-finite float, or one beyond the id range, names no process (0).
int64_t target_id(lua_State *L) {
  if (lua_isinteger(L, 1)) return lua_tointeger(L, 1);
  double x = lua_tonumber(L, 1);
  if (!std::isfinite(x) || x <= -9223372036854775808.0 || x >= 9223372036854775808.0) return 0;
  return static_cast<int64_t>(x);
}

// Stamps the sender on the value sent. Raw writes into a table: no metamethod
// can redirect or forge them. Other values are indexed the usual way (and
// raise the usual error when they cannot be).
void stamp_sender(lua_State *L, int index) {
  const char *names[3] = {"_from", "_sent_t", "_flags"};
  int64_t values[3] = {current_process_id(), host_ms_since_start(), cproc ? cproc->system_flag : 0};
  for (int i = 0; i < 3; i++) {
    lua_pushinteger(L, values[i]);
    if (lua_istable(L, index)) {
      lua_pushstring(L, names[i]);
      lua_insert(L, -2);
      lua_rawset(L, index);
    } else {
      lua_setfield(L, index, names[i]);
    }
  }
}

}  // namespace

int lua54_send_message(lua_State *L) {
  if (lua_gettop(L) < 1 || lua_type(L, 1) != LUA_TNUMBER) return 0;
  int64_t id = target_id(L);
  if (id == 0 || !get_process(id)) return 0;
  lua_settop(L, 2);
  // Finalizers can run Lua code during the writes below: meanwhile the table
  // cannot lose or gain records, and the target is looked up again at the end.
  process_table_guard guard;
  stamp_sender(L, 2);
  // Written as tuk text, no longer than a queue may hold and within what
  // the sender may still hold.
  buffer_owner msg(create_buffer_2(256, buffer_group_send));
  if (!msg || !stringify_object(L, 2, msg.get(), 0, 0, message_queue_max - 1)) return 0;
  spend_cpu_or_stop(L, msg->length);
  send_message_to_id(id, msg.get());
  return 0;
}

int lua54__read_message(lua_State *L) {
  if (process_queue_empty(cproc)) return 0;  // nothing to copy: no copy made
  // A copy of its own: the parse can run finalizers that read messages too.
  // Held for the reader while it is parsed.
  buffer_owner copy(create_buffer_2(256, 114));
  if (!copy || !bcharge_to_current(copy.get()) || !read_process_message(cproc, copy.get()))
    return 0;
  // The text without the NUL that ended it in the queue.
  return destringify_object(L, reinterpret_cast<const char *>(copy->data),
                            static_cast<size_t>(std::max(copy->length - 1, 0)));
}
