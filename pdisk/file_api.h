// Script API of the file system: fetch and store, listing, folders, copying,
// deleting, mounting, the working directory and the path helpers, earlier
// versions from the file history, and downloads.
#pragma once

#include <string_view>

#include "lua.hpp"

struct buffer;

// Pushes what a fetched file holds, by its name's extension: a png as a 2-D
// i32 userdata of 0x00RRGGBB pixels, object data (".tuk", or text that starts
// as object data) parsed, anything else the bytes as a string (".txt", ".lua"
// and ".pn" cleaned of byte-order marks and carriage returns). Returns the
// number of results.
int untuk_from_fetched_buffer(lua_State *L, buffer *data, std::string_view name);

int lua54_fetch(lua_State *L);
int lua54_store(lua_State *L);
int lua54__cache_store(lua_State *L);
int lua54__cache_fetch(lua_State *L);
int lua54__fetch_yorelog(lua_State *L);
int lua54__fetch_remote(lua_State *L);
int lua54__fetch_remote_result(lua_State *L);
int lua54__fetch_metadata_from_file(lua_State *L);
int lua54__store_metadata_str_to_file(lua_State *L);
int lua54_ls(lua_State *L);
int lua54_mkdir(lua_State *L);
int lua54_fstat(lua_State *L);
int lua54_fullpath(lua_State *L);
int lua54_cp(lua_State *L);
int lua54__fdelete(lua_State *L);
int lua54_mount(lua_State *L);
int lua54_pwd(lua_State *L);
int lua54_cd(lua_State *L);
int lua54__normalise_userland_path(lua_State *L);
int lua54_norm(lua_State *L);
int lua54__is_well_formed_bbs_path(lua_State *L);
