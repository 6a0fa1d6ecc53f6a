// zqu items and coded runs on arbitrary bytes: items are read within their
// bounds, and coding any bytes with any width decodes back to them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "kernel/buffer.h"
#include "lua.hpp"
#include "values/userdata.h"
#include "values/zqu.h"

static lua_State *fuzz_state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    return s;
  }();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = fuzz_state();
  lua_settop(L, 0);
  // As an item: the marker, then the input.
  std::vector<uint8_t> item{'z', 'q', 'u', 0};
  item.insert(item.end(), data, data + size);
  const uint8_t *end = item.data() + item.size();
  const uint8_t *after = get_binary_zqu(L, item.data(), end);
  if (after && (after < item.data() + 6 || after > end || !to_userdata(L, -1))) abort();
  if (!after && lua_gettop(L) != 0) abort();
  lua_settop(L, 0);

  // As bytes to code: the first byte picks the width.
  if (size > 0) {
    int W = data[0] % 6 + 1;
    buffer_owner out(create_buffer_2(64, 0));
    zqu_encode_coded(data + 1, static_cast<int64_t>(size - 1), W, out.get());
    std::vector<uint8_t> back(size);
    std::span<const uint8_t> coded(out->data, static_cast<size_t>(out->length));
    int64_t used = zqu_decode_coded(coded, back.data(), static_cast<int64_t>(size - 1));
    if (used != out->length || memcmp(back.data(), data + 1, size - 1) != 0) abort();
  }
  lua_gc(L, LUA_GCSTEP, 0);
  return 0;
}
