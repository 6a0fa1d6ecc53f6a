// The script-API registry: its rows follow the system's registration order,
// paired names are one function, every process state receives them as
// globals, and the registry's load survives on the root.
#include "kernel/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kernel/maths_api.h"
#include "kernel/process_api.h"
#include "kernel/system_api.h"
#include "pdisk/rom_form.h"
#include "userdata/userdata_arith_api.h"
#include "values/userdata_api.h"
#include "script_api_fixture.h"

namespace {

using namespace script_api_test;

// The complete registration order of the script API (141 names).
const std::vector<std::string> registration_order = {
    "deli", "add", "del", "count", "time", "t", "stat", "date", "cls", "fillp", "pset", "pget",
    "fset", "fget", "mset", "mget", "camera", "clip", "rectfill", "rect", "ovalfill", "circfill",
    "oval", "circ", "rrect", "rrectfill", "line", "tline3d", "sspr", "spr", "_draw_map", "blit",
    "_print_m7scii", "_printh", "cursor", "color", "pal", "palt", "note", "sfx", "music", "tuk",
    "_tuk", "untuk", "create_delta", "apply_delta", "fetch", "store", "_fetch_local",
    "_store_local", "_cache_store", "_cache_fetch", "_fetch_yorelog", "_fetch_remote",
    "_fetch_remote_result", "_fetch_metadata_from_file", "_store_metadata_str_to_file", "_ls",
    "_mkdir", "_fstat", "_fullpath", "ls", "mkdir", "fstat", "fullpath", "cp", "_fcopy",
    "_fdelete", "pid", "_send_message", "send_message", "_read_message", "chr", "ord", "tokenoid",
    "rnd", "srand", "abs", "sgn", "max", "min", "mid", "sqrt", "cos", "sin", "atan2", "flr",
    "ceil", "userdata", "vec", "get", "set", "_flip", "flip", "split",
    "_get_userland_clipboard_text", "_set_userland_clipboard_text", "_yielded_to_escape_slice",
    "_create_process_from_code", "_run_process_slice", "_kill_process", "_halt", "_mount",
    "mount", "_set_draw_target", "_pwd", "_cd", "pwd", "cd", "_normalise_userland_path", "norm",
    "_is_well_formed_bbs_path", "load", "_blit_process_video", "_process_state",
    "_get_process_display_size", "_get_process_list", "_apply_system_settings", "_signal",
    "_warp_mouse", "_set_spr", "_map_ram", "_unmap_ram", "_update_buttons",
    "_set_host_window_icon", "_set_host_window_title", "_strindex", "btn", "btnp", "peek", "poke",
    "peek2", "poke2", "peek4", "poke4", "peek8", "poke8", "_ppeek", "_ppeek4", "memcpy", "memset"};

// Names registered together: one function under both.
const std::vector<std::pair<std::string, std::string>> paired_names = {
    {"send_message", "_send_message"}, {"flip", "_flip"},     {"time", "t"},
    {"tuk", "_tuk"},                   {"fetch", "_fetch_local"}, {"store", "_store_local"},
    {"ls", "_ls"},                     {"mkdir", "_mkdir"},   {"fstat", "_fstat"},
    {"fullpath", "_fullpath"},         {"cp", "_fcopy"},      {"mount", "_mount"},
    {"pwd", "_pwd"},                   {"cd", "_cd"}};

std::vector<std::string> registered_names() {
  std::vector<std::string> names;
  for (const api_function &f : api_functions()) names.emplace_back(f.name);
  return names;
}

lua_CFunction registered(const std::string &name) {
  for (const api_function &f : api_functions())
    if (name == f.name) return f.func;
  return nullptr;
}

TEST(Registry, RowsFollowTheRegistrationOrder) {
  ASSERT_EQ(registration_order.size(), 141u);
  ASSERT_EQ(std::set<std::string>(registration_order.begin(), registration_order.end()).size(),
            141u);
  std::vector<std::string> names = registered_names();
  // No name twice, no name outside the list, and the list's order kept.
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  std::vector<std::string> expected;
  for (const std::string &n : registration_order)
    if (std::find(names.begin(), names.end(), n) != names.end()) expected.push_back(n);
  EXPECT_EQ(names, expected);
  for (const api_function &f : api_functions()) EXPECT_NE(f.func, nullptr) << f.name;
}

TEST(Registry, RowsThatExistToday) {
  const std::vector<std::string> today = {
      "deli", "add", "del", "count", "time", "t", "stat", "date", "cls", "fillp", "pset", "pget",
      "fset", "fget", "mset", "mget", "camera", "clip", "rectfill", "rect", "ovalfill", "circfill",
      "oval", "circ", "rrect", "rrectfill", "line", "tline3d", "sspr", "spr", "_draw_map", "blit",
      "_print_m7scii", "_printh", "cursor", "color", "pal", "palt", "note", "sfx", "music", "tuk",
      "_tuk", "untuk", "create_delta", "apply_delta", "fetch", "store", "_fetch_local",
      "_store_local", "_cache_store", "_cache_fetch", "_fetch_yorelog", "_fetch_remote",
      "_fetch_remote_result", "_fetch_metadata_from_file", "_store_metadata_str_to_file",
      "_ls", "_mkdir", "_fstat", "_fullpath", "ls", "mkdir", "fstat", "fullpath", "cp", "_fcopy",
      "_fdelete", "pid",
      "_send_message", "send_message", "_read_message", "chr", "ord", "tokenoid", "rnd",
      "srand", "abs", "sgn", "max", "min", "mid", "sqrt", "cos", "sin", "atan2", "flr", "ceil",
      "userdata", "vec", "get", "set", "_flip", "flip", "split", "_get_userland_clipboard_text",
      "_set_userland_clipboard_text", "_yielded_to_escape_slice", "_create_process_from_code",
      "_run_process_slice", "_kill_process", "_halt", "_mount", "mount", "_set_draw_target", "_pwd",
      "_cd", "pwd", "cd", "_normalise_userland_path", "norm", "_is_well_formed_bbs_path", "load",
      "_blit_process_video", "_process_state",
      "_get_process_display_size", "_get_process_list", "_apply_system_settings", "_signal",
      "_warp_mouse", "_set_spr", "_map_ram", "_unmap_ram", "_update_buttons",
      "_set_host_window_icon", "_set_host_window_title", "_strindex", "btn", "btnp", "peek",
      "poke", "peek2",
      "poke2", "peek4", "poke4", "peek8", "poke8", "_ppeek", "_ppeek4", "memcpy", "memset"};
  EXPECT_EQ(registered_names(), today);
  EXPECT_EQ(registered("_apply_system_settings"), &lua54__apply_system_settings);
  EXPECT_EQ(registered("load"), &lua54_load);
  EXPECT_EQ(registered("flr"), &lua54_flr);
  EXPECT_EQ(registered("_run_process_slice"), &lua54__run_process_slice);
}

TEST(Registry, PairedNamesAreOneFunction) {
  for (const auto &[a, b] : paired_names) {
    // A pair is registered together or not at all.
    EXPECT_EQ(registered(a) != nullptr, registered(b) != nullptr) << a << " / " << b;
    if (registered(a)) {
      EXPECT_EQ(registered(a), registered(b)) << a << " / " << b;
    }
  }
  EXPECT_EQ(registered("flip"), &lua54_flip);
}

// The USERDATA table's complete registration order (58 names).
const std::vector<std::string> userdata_order = {
    "sort", "convert", "copy", "take", "clear", "__add", "__sub", "__mul", "__div", "__idiv",
    "__mod", "__pow", "__band", "__bor", "__bxor", "__shl", "__shr", "add", "sub", "mul", "div",
    "idiv", "mod", "pow", "band", "bor", "bxor", "shl", "shr", "max", "min", "abs", "sgn", "sgn0",
    "__len", "__tostring", "__index", "__newindex", "set", "get", "blit", "peek", "poke", "width",
    "height", "attribs", "mutate", "lerp", "magnitude", "distance", "dot", "cross", "matmul",
    "matmul3d", "matmul2d", "transpose", "row", "column"};

lua_CFunction userdata_method(const std::string &name) {
  for (const api_function &f : userdata_methods())
    if (name == f.name) return f.func;
  return nullptr;
}

TEST(Registry, UserdataMethodsFollowTheirRegistrationOrder) {
  ASSERT_EQ(userdata_order.size(), 58u);
  std::vector<std::string> names;
  for (const api_function &f : userdata_methods()) {
    names.emplace_back(f.name);
    EXPECT_NE(f.func, nullptr) << f.name;
  }
  EXPECT_EQ(names, userdata_order);
  // The operators are the methods of the same names; get and set the globals.
  for (const char *op : {"add", "sub", "mul", "div", "idiv", "mod", "pow", "band", "bor", "bxor",
                         "shl", "shr"})
    EXPECT_EQ(userdata_method(std::string("__") + op), userdata_method(op)) << op;
  EXPECT_EQ(userdata_method("__add"), &lua54_ud_add);
  EXPECT_EQ(userdata_method("get"), &lua54_get);
  EXPECT_EQ(userdata_method("set"), &lua54_set);
  EXPECT_EQ(userdata_method("blit"), registered("blit"));
}

class RegistryGlobals : public ScriptApi {};

TEST_F(RegistryGlobals, EveryProcessStateGetsTheUserdataTable) {
  EXPECT_EQ(run("local n = 0 for k, v in pairs(USERDATA) do n = n + 1 end "
                "return n, getmetatable(vec(1)) == USERDATA, tostring(vec(1, 2) + 1)"),
            (R{"i:58", "b:true", "s:(2, 3)"}));
}

TEST_F(RegistryGlobals, EveryProcessStateGetsEveryRow) {
  process *P = create_process_from_code("", "p", "/apps/p.lua");
  ASSERT_NE(P, nullptr);
  for (process *Q : {root, P}) {
    lua_State *L = Q->lua_state;
    for (const api_function &f : api_functions()) {
      lua_getglobal(L, f.name);
      EXPECT_EQ(lua_tocfunction(L, -1), f.func) << f.name;
      EXPECT_FALSE(lua_getupvalue(L, -1, 1)) << f.name << " has no upvalues";
      lua_pop(L, 1);
    }
    // The host layer's four globals come with them.
    for (const char *name : {"_req_host_clipboard_text", "_get_host_clipboard_text",
                             "_set_host_clipboard_text", "_open_host_path"}) {
      lua_getglobal(L, name);
      EXPECT_TRUE(lua_iscfunction(L, -1)) << name;
      lua_pop(L, 1);
    }
  }
  EXPECT_EQ(run("return flip == _flip"), R{"b:true"});
}

TEST_F(RegistryGlobals, RegistryLoadReplacesTheLibraryOne) {
  EXPECT_EQ(run("return load('return 1')()"), R{"i:1"});
  lua_getglobal(root->lua_state, "load");
  EXPECT_EQ(lua_tocfunction(root->lua_state, -1), &lua54_load);
  lua_pop(root->lua_state, 1);
}

// Whether the library set still opens a base-library load of its own (the
// dialect's library set leaves it to the registry).
bool libraries_open_a_load() {
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  lua_getglobal(L, "load");
  bool has = !lua_isnil(L, -1);
  lua_close(L);
  return has;
}

buffer *rom_of(const std::vector<cart_entry> &entries) {
  buffer *b = create_buffer_2(0, 105);
  EXPECT_TRUE(write_kvt_rom_entries(b, entries, 0));
  return b;
}

// The reset opens the libraries on the root once more after creating it;
// the registry's load must still be the root's.
TEST(RegistryRoot, LoadIsKeptOnTheRootAfterAReset) {
  if (libraries_open_a_load())
    GTEST_SKIP() << "the library set still opens the base library's load; the reset's second "
                    "luaL_openlibs replaces the registry's until the library set drops it";
  int saved_count = dat_files;
  buffer *saved[dat_file_max];
  std::copy(dat_file, dat_file + dat_file_max, saved);
  set_default_config();
  config.headless = 1;
  dat_file[0] = create_buffer_from_str("");
  dat_file[1] = rom_of({{"system/", ""}, {"system/boot.lua", "coroutine.yield()"}});
  dat_files = 2;

  reset_app_state();
  ASSERT_NE(root_process, nullptr);
  lua_State *L = root_process->lua_state;
  lua_getglobal(L, "load");
  EXPECT_EQ(lua_tocfunction(L, -1), &lua54_load);
  lua_pop(L, 1);

  processes_init();
  for (int i = 0; i < dat_files; i++) destroy_buffer(dat_file[i]);
  std::copy(saved, saved + dat_file_max, dat_file);
  dat_files = saved_count;
  app = app_record{};
}

}  // namespace
