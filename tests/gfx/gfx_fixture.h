// Shared harness of the graphics tests: a root process with the real registry
// and the graphics bindings, a draw target of known size, and canvases over
// plain host buffers for the primitives.
#pragma once

#include <cstring>
#include <string>

#include "gfx/draw_state.h"
#include "gfx/gfx_api.h"
#include "gfx/shapes.h"
#include "tests/kernel/script_api_fixture.h"
#include "values/userdata.h"

namespace gfx_test {

inline void register_gfx(lua_State *L) {
  static const luaL_Reg fns[] = {
      {"cls", lua54_cls},           {"fillp", lua54_fillp},       {"pset", lua54_pset},
      {"pget", lua54_pget},         {"fset", lua54_fset},         {"fget", lua54_fget},
      {"mset", lua54_mset},         {"mget", lua54_mget},         {"camera", lua54_camera},
      {"clip", lua54_clip},         {"rectfill", lua54_rectfill}, {"rect", lua54_rect},
      {"ovalfill", lua54_ovalfill}, {"circfill", lua54_circfill}, {"oval", lua54_oval},
      {"circ", lua54_circ},         {"rrect", lua54_rrect},       {"rrectfill", lua54_rrectfill},
      {"line", lua54_line},         {"cursor", lua54_cursor},     {"color", lua54_color},
      {"pal", lua54_pal},           {"palt", lua54_palt},         {"_set_draw_target", lua54__set_draw_target},
  };
  for (const luaL_Reg &f : fns) lua_register(L, f.name, f.func);
}

// A process drawing into T, a w x h u8 bitmap, with the default tables
// installed, read and target masks of 0x3F and write mask 0xFF.
class Gfx : public script_api_test::ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    init_default_coltabs();
    register_gfx(root->lua_state);
    target(48, 32);
    run("pal() poke(0x5508, 0x3f, 0xff, 0x3f, 0x3f)");
  }
  void target(int w, int h) {
    auto r = run("T = userdata('u8', " + std::to_string(w) + ", " + std::to_string(h) +
                 ") _set_draw_target(T)");
    ASSERT_TRUE(r.empty()) << r[0];
  }
  uint8_t px(int x, int y) const {
    const userdata *t = root->draw_target;
    return ud_elements(t)[y * t->width + x];
  }
  int count_nonzero() const {
    const userdata *t = root->draw_target;
    int n = 0;
    for (int64_t i = 0; i < ud_data_bytes(t); i++) n += ud_elements(t)[i] != 0;
    return n;
  }
};

// A canvas over a host buffer with the default tables and the given masks.
inline canvas host_canvas(uint8_t *pixels, int64_t w, int64_t h, uint8_t rmask = 0x3F,
                          uint8_t wmask = 0x3F, uint8_t tmask = 0x3F) {
  canvas c;
  c.pixels = pixels;
  c.width = w;
  c.height = h;
  c.cx1 = w;
  c.cy1 = h;
  for (int k = 0; k < 4; k++) c.tab[k] = default_coltabs + coltab_size * k;
  c.rmask = rmask;
  c.wmask = wmask;
  c.tmask = tmask;
  return c;
}

}  // namespace gfx_test
