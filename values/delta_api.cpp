// Script-API functions of the delta format: thin readers of arguments.
#include "values/delta_api.h"

#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "values/delta.h"

namespace {

// Bytes of a delta's work (scanning, CRCs, decompressing, copying) a cycle
// pays for, beyond the format's own charge of a quarter of the result. Making
// one also looks for matches and compresses: half as many bytes a cycle.
constexpr int64_t applied_bytes_per_cycle = 4;
constexpr int64_t created_bytes_per_cycle = 2;

// Charges the work as it goes: past the ceiling the call ends in the cpu limit error.
delta_progress charge_work(lua_State *L, int64_t bytes_per_cycle) {
  return [L, bytes_per_cycle](int64_t bytes) { spend_cpu_or_stop(L, bytes / bytes_per_cycle); };
}

// Reads two string arguments; false when either is not a string.
bool two_strings(lua_State *L, const uint8_t **a, size_t *na, const uint8_t **b, size_t *nb) {
  if (lua_type(L, 1) != LUA_TSTRING || lua_type(L, 2) != LUA_TSTRING) return false;
  *a = reinterpret_cast<const uint8_t *>(lua_tolstring(L, 1, na));
  *b = reinterpret_cast<const uint8_t *>(lua_tolstring(L, 2, nb));
  return true;
}

// Pushes the buffer's content as a string and charges its length / 4.
int push_result(lua_State *L, buffer *result) {
  buffer_owner owned(result);
  if (!owned) return 0;
  spend_cpu_or_stop(L, owned->length / 4);
  lua_pushlstring(L, reinterpret_cast<const char *>(owned->data), size_t(owned->length));
  return 1;
}

}  // namespace

int lua54_create_diff(lua_State *L) {
  const uint8_t *a, *b;
  size_t na, nb;
  if (!two_strings(L, &a, &na, &b, &nb)) return 0;
  delta_progress charge = charge_work(L, created_bytes_per_cycle);
  return push_result(L, generate_diff(a, int64_t(na), b, int64_t(nb), charge));
}

int lua54_apply_diff(lua_State *L) {
  const uint8_t *a, *d;
  size_t na, nd;
  if (!two_strings(L, &a, &na, &d, &nd)) return 0;
  delta_progress charge = charge_work(L, applied_bytes_per_cycle);
  return push_result(L, apply_diff(a, int64_t(na), d, int64_t(nd), charge));
}
