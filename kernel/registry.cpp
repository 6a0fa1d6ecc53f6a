// The script-API registry.
#include "kernel/registry.h"

#include "gfx/gfx_api.h"
#include "kernel/maths_api.h"
#include "kernel/messages_api.h"
#include "kernel/process_api.h"
#include "kernel/ram_api.h"
#include "kernel/system_api.h"
#include "pdisk/file_api.h"
#include "values/delta_api.h"
#include "values/tuk_api.h"
#include "values/userdata_api.h"

namespace {

// The order is the system's registration order. A subsystem slots its rows in
// at the places named in the comments once its functions exist; until then a
// name has no row, so a script sees nil rather than a stand-in.
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
    // tline3d, sspr, spr, _draw_map, blit, _print_m7scii, _printh (graphics)
    {"cursor", lua54_cursor},
    {"color", lua54_color},
    {"pal", lua54_pal},
    {"palt", lua54_palt},
    // note, sfx, music (audio)
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
    // _blit_process_video (graphics)
    {"_process_state", lua54__process_state},
    {"_get_process_display_size", lua54__get_process_display_size},
    {"_get_process_list", lua54__get_process_list},
    {"_apply_system_settings", lua54__apply_system_settings},
    {"_signal", lua54__signal},
    // _warp_mouse (input), _set_spr (sprites)
    {"_map_ram", lua54__map_ram},
    {"_unmap_ram", lua54__unmap_ram},
    // _update_buttons (input), _set_host_window_icon (graphics' palette)
    {"_set_host_window_title", lua54__set_host_window_title},
    {"_strindex", lua54__strindex},
    // btn, btnp (input)
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

}  // namespace

std::span<const api_function> api_functions() { return functions; }

void api_add_c_functions(lua_State *L) {
  for (const api_function &f : functions) {
    lua_pushcfunction(L, f.func);
    lua_setglobal(L, f.name);
  }
}
