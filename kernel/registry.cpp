// The script-API registry.
#include "kernel/registry.h"

#include <iterator>

#include "gfx/gfx_api.h"
#include "gfx/print_api.h"
#include "gfx/sprite_api.h"
#include "kernel/maths_api.h"
#include "kernel/messages_api.h"
#include "kernel/input_api.h"
#include "kernel/process_api.h"
#include "kernel/ram_api.h"
#include "kernel/system_api.h"
#include "mudo/audio_api.h"
#include "pdisk/file_api.h"
#include "userdata/userdata_arith_api.h"
#include "values/delta_api.h"
#include "values/tuk_api.h"
#include "values/userdata_api.h"

namespace {

// The order is the system's registration order.
const api_function functions[] = {
    {"deli", lua54_deli},
    {"add", lua54_add},
    {"del", lua54_del},
    {"count", lua54_count},
    {"time", lua54_time},
    {"t", lua54_time},
    {"stat", lua54_stat},
    {"date", lua54_date},
    {"cls", lua54_cls},
    {"fillp", lua54_fillp},
    {"pset", lua54_pset},
    {"pget", lua54_pget},
    {"fset", lua54_fset},
    {"fget", lua54_fget},
    {"mset", lua54_mset},
    {"mget", lua54_mget},
    {"camera", lua54_camera},
    {"clip", lua54_clip},
    {"rectfill", lua54_rectfill},
    {"rect", lua54_rect},
    {"ovalfill", lua54_ovalfill},
    {"circfill", lua54_circfill},
    {"oval", lua54_oval},
    {"circ", lua54_circ},
    {"rrect", lua54_rrect},
    {"rrectfill", lua54_rrectfill},
    {"line", lua54_line},
    {"tline3d", lua54_tline3d},
    {"sspr", lua54_sspr},
    {"spr", lua54_spr},
    {"_draw_map", lua54__draw_map},
    {"blit", lua54_blit},
    {"_print_m7scii", lua54__print_m7scii},
    {"_printh", lua54__printh},
    {"cursor", lua54_cursor},
    {"color", lua54_color},
    {"pal", lua54_pal},
    {"palt", lua54_palt},
    {"note", lua54_note},
    {"sfx", lua54_sfx},
    {"music", lua54_music},
    {"tuk", lua54_stringify},
    {"_tuk", lua54_stringify},
    {"untuk", lua54_destringify},
    {"create_delta", lua54_create_diff},
    {"apply_delta", lua54_apply_diff},
    {"fetch", lua54_fetch},
    {"store", lua54_store},
    {"_fetch_local", lua54_fetch},
    {"_store_local", lua54_store},
    {"_cache_store", lua54__cache_store},
    {"_cache_fetch", lua54__cache_fetch},
    {"_fetch_yorelog", lua54__fetch_yorelog},
    {"_fetch_remote", lua54__fetch_remote},
    {"_fetch_remote_result", lua54__fetch_remote_result},
    {"_fetch_metadata_from_file", lua54__fetch_metadata_from_file},
    {"_store_metadata_str_to_file", lua54__store_metadata_str_to_file},
    {"_ls", lua54_ls},
    {"_mkdir", lua54_mkdir},
    {"_fstat", lua54_fstat},
    {"_fullpath", lua54_fullpath},
    {"ls", lua54_ls},
    {"mkdir", lua54_mkdir},
    {"fstat", lua54_fstat},
    {"fullpath", lua54_fullpath},
    {"cp", lua54_cp},
    {"_fcopy", lua54_cp},
    {"_fdelete", lua54__fdelete},
    {"pid", lua54_pid},
    {"_send_message", lua54_send_message},
    {"send_message", lua54_send_message},
    {"_read_message", lua54__read_message},
    {"chr", lua54_chr},
    {"ord", lua54_ord},
    {"tokenoid", lua54_tokenoid},
    {"rnd", lua54_rnd},
    {"srand", lua54_srand},
    {"abs", lua54_abs},
    {"sgn", lua54_sgn},
    {"max", lua54_max},
    {"min", lua54_min},
    {"mid", lua54_mid},
    {"sqrt", lua54_sqrt},
    {"cos", lua54_cos},
    {"sin", lua54_sin},
    {"atan2", lua54_atan2},
    {"flr", lua54_flr},
    {"ceil", lua54_ceil},
    {"userdata", lua54_userdata},
    {"vec", lua54_vec},
    {"get", lua54_get},
    {"set", lua54_set},
    {"_flip", lua54_flip},
    {"flip", lua54_flip},
    {"split", lua54_split},
    {"_get_userland_clipboard_text", lua54__get_userland_clipboard_text},
    {"_set_userland_clipboard_text", lua54__set_userland_clipboard_text},
    {"_yielded_to_escape_slice", lua54__yielded_to_escape_slice},
    {"_create_process_from_code", lua54__create_process_from_code},
    {"_run_process_slice", lua54__run_process_slice},
    {"_kill_process", lua54__kill_process},
    {"_halt", lua54__halt},
    {"_mount", lua54_mount},
    {"mount", lua54_mount},
    {"_set_draw_target", lua54__set_draw_target},
    {"_pwd", lua54_pwd},
    {"_cd", lua54_cd},
    {"pwd", lua54_pwd},
    {"cd", lua54_cd},
    {"_normalise_userland_path", lua54__normalise_userland_path},
    {"norm", lua54_norm},
    {"_is_well_formed_bbs_path", lua54__is_well_formed_bbs_path},
    {"load", lua54_load},
    {"_blit_process_video", lua54__blit_process_video},
    {"_process_state", lua54__process_state},
    {"_get_process_display_size", lua54__get_process_display_size},
    {"_get_process_list", lua54__get_process_list},
    {"_apply_system_settings", lua54__apply_system_settings},
    {"_signal", lua54__signal},
    {"_warp_mouse", lua54__warp_mouse},
    {"_set_spr", lua54__set_spr},
    {"_map_ram", lua54__map_ram},
    {"_unmap_ram", lua54__unmap_ram},
    {"_update_buttons", lua54__update_buttons},
    {"_set_host_window_icon", lua54__set_host_window_icon},
    {"_set_host_window_title", lua54__set_host_window_title},
    {"_strindex", lua54__strindex},
    {"btn", lua54_btn},
    {"btnp", lua54_btnp},
    {"peek", lua54_peek},
    {"poke", lua54_poke},
    {"peek2", lua54_peek2},
    {"poke2", lua54_poke2},
    {"peek4", lua54_peek4},
    {"poke4", lua54_poke4},
    {"peek8", lua54_peek8},
    {"poke8", lua54_poke8},
    {"_ppeek", lua54__ppeek},
    {"_ppeek4", lua54__ppeek4},
    {"memcpy", lua54_memcpy},
    {"memset", lua54_memset},
};

// USERDATA, the method table and metatable of every userdata, in its order of
// registration: the core methods, the arithmetic, blit and the vector and
// matrix methods side by side, so the lower floors need not know the upper.
const api_function userdata_method_table[] = {
    {"sort", lua54_ud_sort},
    {"convert", lua54_ud_convert},
    {"copy", lua54_ud_copy},
    {"take", lua54_ud_take},
    {"clear", lua54_ud_clear},
    {"__add", lua54_ud_add},
    {"__sub", lua54_ud_sub},
    {"__mul", lua54_ud_mul},
    {"__div", lua54_ud_div},
    {"__idiv", lua54_ud_idiv},
    {"__mod", lua54_ud_mod},
    {"__pow", lua54_ud_pow},
    {"__band", lua54_ud_band},
    {"__bor", lua54_ud_bor},
    {"__bxor", lua54_ud_bxor},
    {"__shl", lua54_ud_shl},
    {"__shr", lua54_ud_shr},
    {"add", lua54_ud_add},
    {"sub", lua54_ud_sub},
    {"mul", lua54_ud_mul},
    {"div", lua54_ud_div},
    {"idiv", lua54_ud_idiv},
    {"mod", lua54_ud_mod},
    {"pow", lua54_ud_pow},
    {"band", lua54_ud_band},
    {"bor", lua54_ud_bor},
    {"bxor", lua54_ud_bxor},
    {"shl", lua54_ud_shl},
    {"shr", lua54_ud_shr},
    {"max", lua54_ud_max},
    {"min", lua54_ud_min},
    {"abs", lua54_ud_abs},
    {"sgn", lua54_ud_sgn},
    {"sgn0", lua54_ud_sgn0},
    {"__len", lua54_ud_len},
    {"__tostring", lua54_ud_tostring},
    {"__index", lua54_ud_index},
    {"__newindex", lua54_ud_newindex},
    {"set", lua54_set},
    {"get", lua54_get},
    {"blit", lua54_blit},
    {"peek", lua54_ud_peek},
    {"poke", lua54_ud_poke},
    {"width", lua54_ud_width},
    {"height", lua54_ud_height},
    {"attribs", lua54_ud_attribs},
    {"mutate", lua54_ud_mutate},
    {"lerp", lua54_ud_lerp},
    {"magnitude", lua54_ud_magnitude},
    {"distance", lua54_ud_distance},
    {"dot", lua54_ud_dot},
    {"cross", lua54_ud_cross},
    {"matmul", lua54_ud_matmul},
    {"matmul3d", lua54_ud_matmul3d},
    {"matmul2d", lua54_ud_matmul2d},
    {"transpose", lua54_ud_transpose},
    {"row", lua54_ud_row},
    {"column", lua54_ud_column},
};

}  // namespace

std::span<const api_function> api_functions() { return functions; }

std::span<const api_function> userdata_methods() { return userdata_method_table; }

void api_add_c_functions(lua_State *L) {
  for (const api_function &f : functions) {
    lua_pushcfunction(L, f.func);
    lua_setglobal(L, f.name);
  }
}

void add_userdata_metatable_functions(lua_State *L) {
  lua_createtable(L, 0, static_cast<int>(std::size(userdata_method_table)));
  for (const api_function &f : userdata_method_table) {
    lua_pushcfunction(L, f.func);
    lua_setfield(L, -2, f.name);
  }
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
  lua_pushliteral(L, "USERDATA");
  lua_pushvalue(L, -3);
  lua_rawset(L, -3);
  lua_pop(L, 2);
}
